// The agent's command line: the input, split at NUL bytes, is the argument
// vector after the program path. Only the three exact shapes are accepted,
// with their values as given; the progress delay agrees with a plain
// decimal reading. And the same arguments quoted for a Windows command line
// split back (by the standard rules, restated here) into exactly themselves.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "agent/cli.h"
#include "fuzz/support/property.h"
#include "platform/text.h"
#include "platform/windows_command_line.h"

namespace {

// The standard Windows splitting of everything after the program path
// (backslashes are literal unless they precede a double quote; 2n of them
// and a quote give n and toggle quoting, 2n+1 give n and a literal quote;
// inside quotes a doubled quote is a literal one).
std::vector<std::wstring> split_windows_arguments(std::wstring_view line) {
    std::size_t i = 0;
    // The program path: quoted up to the next quote, else up to white space.
    if (i < line.size() && line[i] == L'"') {
        ++i;
        while (i < line.size() && line[i] != L'"') ++i;
        if (i < line.size()) ++i;
    } else {
        while (i < line.size() && line[i] != L' ' && line[i] != L'\t') ++i;
    }
    std::vector<std::wstring> arguments;
    for (;;) {
        while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
        if (i == line.size()) return arguments;
        std::wstring argument;
        bool quoted = false;
        while (i < line.size()) {
            const wchar_t c = line[i];
            if (!quoted && (c == L' ' || c == L'\t')) break;
            if (c == L'\\') {
                std::size_t count = 0;
                while (i < line.size() && line[i] == L'\\') {
                    ++count;
                    ++i;
                }
                if (i < line.size() && line[i] == L'"') {
                    argument.append(count / 2, L'\\');
                    if (count % 2 == 1) {
                        argument += L'"';
                        ++i;
                    }
                } else {
                    argument.append(count, L'\\');
                }
                continue;
            }
            if (c == L'"') {
                if (quoted && i + 1 < line.size() && line[i + 1] == L'"') {
                    argument += L'"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
                continue;
            }
            argument += c;
            ++i;
        }
        arguments.push_back(std::move(argument));
    }
}

std::optional<std::uint64_t> reference_delay(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty() || text.find_first_not_of("0123456789") != text.npos) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessaryndle;
    const auto text = fuzz::as_text(data, size);
    std::vector<std::string> words;
    if (!text.empty()) {
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = text.find('\0', start);
            words.emplace_back(text.substr(start, end == text.npos ? text.npos : end - start));
            if (end == text.npos) break;
            start = end + 1;
        }
    }
    std::vector<NativeString> arguments;
    for (const std::string& word : words) arguments.push_back(path_from_utf8(word).native());

    for (const std::string& word : words) FUZZ_CHECK(agent::parse_delay(word) == reference_delay(word));

    const auto command = agent::parse_command_line(arguments);
    if (!command) {
        FUZZ_CHECK(command.error().kind() == UpdateErrorKind::Installation);
    } else if (const auto* install = std::get_if<agent::InstallPlanCommand>(&*command)) {
        FUZZ_CHECK(words.size() == 2 && words[0] == "--install-plan");
        FUZZ_CHECK(install->plan_path.native() == arguments[1]);
    } else if (const auto* execute = std::get_if<agent::ExecutePlanCommand>(&*command)) {
        FUZZ_CHECK(words.size() == 4 && words[0] == "--execute-plan" && words[2] == "--result");
        FUZZ_CHECK(execute->plan_path.native() == arguments[1] && execute->result_path.native() == arguments[3]);
    } else {
        const auto& progress = std::get<agent::ShowProgressCommand>(*command);
        FUZZ_CHECK(words.size() == 6 && words[0] == "--show-progress-after" && words[2] == "--app-name" &&
                   words[4] == "--app-path");
        FUZZ_CHECK(reference_delay(words[1]) == progress.delay_ms);
        FUZZ_CHECK(progress.app_name == native_lossy(arguments[3]));
        FUZZ_CHECK(progress.app_path.native() == arguments[5]);
    }

    // Quoted for Windows and split again.
    std::vector<std::wstring> wide;
    for (const std::string& word : words) {
        auto converted = utf8_to_utf16(word);
        if (!converted) return 0;
        wide.push_back(std::move(*converted));
    }
    const std::wstring line = platform::windows_command_line(L"C:\\Program Files\\agent.exe", wide);
    FUZZ_CHECK(split_windows_arguments(line) == wide);
    return 0;
}
