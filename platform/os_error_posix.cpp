#include <cerrno>
#include <cstring>

#include "platform/os_error.h"

namespace tessaryndle::platform {

std::int64_t last_error_code() { return errno; }

std::string system_message(std::int64_t code) {
    // errno values are small; anything else (a Windows result code passed
    // through) has no message here.
    if (code <= 0 || code > 4095) return {};
    char buffer[256];
    // GNU strerror_r returns the message pointer, which may or may not be
    // the buffer.
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    std::string message = text ? text : "";
    while (!message.empty() && (message.back() == ' ' || message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    return message;
}

}  // namespace tessaryndle::platform
