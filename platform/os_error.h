#pragma once
// Operating-system error numbers and their texts.

#include <cstdint>
#include <string>

namespace tessaryndle::platform {

// The calling thread's last error: GetLastError() on Windows, errno elsewhere.
[[nodiscard]] std::int64_t last_error_code();

// The system's message for an error number (FormatMessageW on Windows,
// strerror elsewhere), trailing white space removed; empty when the system
// has none.
[[nodiscard]] std::string system_message(std::int64_t code);

// The result-code form of an error number: a Win32 error e becomes
// 0x80070000 + e (HRESULT_FROM_WIN32); values that already are result codes
// stay as they are. Elsewhere the errno value is mapped the same way.
[[nodiscard]] std::uint32_t result_code(std::int64_t code);

// "{system message} (0xXXXXXXXX)" with eight upper-case hexadecimal digits of
// the result code; only "0xXXXXXXXX" when the system has no message.
[[nodiscard]] std::string windows_error_text(std::int64_t code);

}  // namespace tessaryndle::platform
