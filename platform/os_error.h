#pragma once
// Operating-system error numbers and their texts.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>

namespace tessaryndle {

// An operating-system error: the platform's error number and, for errors that
// are not raised by the system, a message of our own.
struct OsError {
    std::int64_t code = 0;
    std::optional<std::string> message;

    // The calling thread's last system error (GetLastError() on Windows,
    // errno elsewhere).
    [[nodiscard]] static OsError last();
    [[nodiscard]] static OsError from_code(std::int64_t code) { return OsError{code, std::nullopt}; }
    [[nodiscard]] static OsError custom(std::string text) { return OsError{0, std::move(text)}; }

    // "{system message} (os error {code})", or the own message.
    [[nodiscard]] std::string display() const;
};

}  // namespace tessaryndle

namespace tessaryndle::platform {

template <class T>
using OsResult = std::expected<T, OsError>;

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
