#include "platform/windows_command_line.h"

namespace tessaryndle::platform {

std::wstring quote_windows_argument(std::wstring_view argument) {
    const bool enclose = argument.empty() || argument.find_first_of(L" \t") != std::wstring_view::npos;
    std::wstring out;
    out.reserve(argument.size() + 2);
    if (enclose) out.push_back(L'"');
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            // 2n backslashes and \" give back n backslashes and a quote.
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        backslashes = 0;
        out.push_back(c);
    }
    // Trailing backslashes stand before the closing quote only when the
    // argument is enclosed; only then do they need doubling.
    out.append(enclose ? backslashes * 2 : backslashes, L'\\');
    if (enclose) out.push_back(L'"');
    return out;
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
