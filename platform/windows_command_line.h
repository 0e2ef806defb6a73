#pragma once
// The command-line string of a Windows process, built so that
// CommandLineToArgvW (and the C runtime) split it back into exactly the
// given arguments. Pure text handling, available on every platform.

#include <span>
#include <string>
#include <string_view>

namespace tessaryndle::platform {

// One argument in the standard quoting convention: enclosed in double quotes
// when empty or holding a space or a tab; a double quote is written as \"
// with the backslashes directly before it doubled; when enclosed, the
// backslashes at the end are doubled before the closing quote. Any other
// argument is returned as it is.
[[nodiscard]] std::wstring quote_windows_argument(std::wstring_view argument);

// The program path in double quotes, then each argument after one space,
// quoted by quote_windows_argument.
[[nodiscard]] std::wstring windows_command_line(std::wstring_view program, std::span<const std::wstring> arguments);

}  // namespace tessaryndle::platform
