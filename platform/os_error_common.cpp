#include <cstdio>

#include "platform/os_error.h"

namespace tessaryndle::platform {

std::uint32_t result_code(std::int64_t code) {
    const auto value = static_cast<std::uint32_t>(code);
    // Already a result code (severity bit set) or success.
    if ((value & 0x80000000u) != 0 || value == 0) {
        return value;
    }
    return 0x80070000u | (value & 0xFFFFu);
}

std::string windows_error_text(std::int64_t code) {
    const std::uint32_t hr = result_code(code);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(hr));
    const std::string message = system_message(code);
    if (message.empty()) {
        return hex;
    }
    return message + " (" + hex + ")";
}

}  // namespace tessaryndle::platform

namespace tessaryndle {

OsError OsError::last() { return OsError::from_code(platform::last_error_code()); }

std::string OsError::display() const {
    if (message) {
        return *message;
    }
    const std::string message = platform::system_message(code);
    const std::string number = "os error " + std::to_string(code);
    if (message.empty()) return number;
    return message + " (" + number + ")";
}

}  // namespace tessaryndle
