#include "platform/windows_command_line.h"

namespace tessaryndle::platform {
namespace {

template <class Char>
std::basic_string<Char> quote(std::basic_string_view<Char> argument, Enclosing enclosing) {
    constexpr Char backslash = '\\';
    constexpr Char quote_mark = '"';
    constexpr Char blanks[] = {' ', '\t', 0};
    const bool enclose = enclosing == Enclosing::Always || argument.empty() ||
                         argument.find_first_of(blanks) != std::basic_string_view<Char>::npos;
    std::basic_string<Char> out;
    out.reserve(argument.size() + 2);
    if (enclose) out.push_back(quote_mark);
    std::size_t backslashes = 0;
    for (const Char c : argument) {
        if (c == backslash) {
            ++backslashes;
            continue;
        }
        if (c == quote_mark) {
            // 2n backslashes and \" give back n backslashes and a quote.
            out.append(backslashes * 2 + 1, backslash);
        } else {
            out.append(backslashes, backslash);
        }
        backslashes = 0;
        out.push_back(c);
    }
    // Trailing backslashes stand before the closing quote only when the
    // argument is enclosed; only then do they need doubling.
    out.append(enclose ? backslashes * 2 : backslashes, backslash);
    if (enclose) out.push_back(quote_mark);
    return out;
}

}  // namespace

std::wstring quote_windows_argument(std::wstring_view argument, Enclosing enclosing) {
    return quote(argument, enclosing);
}

std::string quote_windows_argument(std::string_view argument, Enclosing enclosing) {
    return quote(argument, enclosing);
}

std::wstring windows_command_line(std::wstring_view program, std::span<const std::wstring> arguments) {
    // The program name is split by its own rule (up to the next quote, no
    // escapes), and a Windows path never holds a quote.
    std::wstring line;
    line.push_back(L'"');
    line.append(program);
    line.push_back(L'"');
    for (const std::wstring& argument : arguments) {
        line.push_back(L' ');
        line.append(quote_windows_argument(argument));
    }
    return line;
}

}  // namespace tessaryndle::platform
