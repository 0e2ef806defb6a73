#include <windows.h>

#include "platform/os_error.h"
#include "platform/text.h"
#include "platform/win_handle.h"

namespace tessaryndle::platform {

std::int64_t last_error_code() { return static_cast<std::int64_t>(GetLastError()); }

std::string system_message(std::int64_t code) {
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    const LocalMemory owned(buffer);
    std::wstring message;
    if (length != 0 && buffer != nullptr) {
        message.assign(buffer, length);
    }
    while (!message.empty() &&
           (message.back() == L' ' || message.back() == L'\n' || message.back() == L'\r' || message.back() == L'\t')) {
        message.pop_back();
    }
    return utf16_lossy(std::wstring_view(message));
}

}  // namespace tessaryndle::platform
