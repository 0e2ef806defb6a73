#pragma once
// The command-line string of a Windows process, built so that
// CommandLineToArgvW (and the C runtime) split it back into exactly the
// given arguments. Pure text handling, available on every platform: the one
// home of the quoting rules for every program that starts another.

#include <span>
#include <string>
#include <string_view>

namespace tessaryndle::platform {

// When an argument is put in double quotes.
enum class Enclosing {
    WhenNeeded,  // only when empty or holding a space or a tab
    Always,      // every argument, so that its end is plain to see
};

// One argument in the standard quoting convention: enclosed in double quotes
// as `enclosing` says; a double quote is written as \" with the backslashes
// directly before it doubled; when enclosed, the backslashes at the end are
// doubled before the closing quote. Any other character is copied. The
// narrow form works on UTF-8 text (the quoting touches ASCII only).
[[nodiscard]] std::wstring quote_windows_argument(std::wstring_view argument,
                                                  Enclosing enclosing = Enclosing::WhenNeeded);
[[nodiscard]] std::string quote_windows_argument(std::string_view argument,
                                                 Enclosing enclosing = Enclosing::WhenNeeded);

// The program path in double quotes, then each argument after one space,
// quoted by quote_windows_argument.
[[nodiscard]] std::wstring windows_command_line(std::wstring_view program, std::span<const std::wstring> arguments);

}  // namespace tessaryndle::platform
