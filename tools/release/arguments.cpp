#include "tools/release/arguments.h"

#include <algorithm>
#include <charconv>

namespace tessaryndle::release {

namespace fs = std::filesystem;

std::expected<Arguments, Failure> parse_arguments(std::span<const NativeString> words,
                                                  std::span<const std::string_view> value_options,
                                                  std::span<const std::string_view> flag_options,
                                                  std::size_t operand_count) {
    Arguments arguments;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string word = native_lossy(words[i]);
        if (word == "--help" || word == "-h") {
            arguments.help = true;
            return arguments;
        }
        if (std::find(flag_options.begin(), flag_options.end(), word) != flag_options.end()) {
            if (!arguments.flags.insert(word).second) return std::unexpected("option " + word + " is given twice");
            continue;
        }
        if (word.starts_with("-") && word != "-") {
            if (std::find(value_options.begin(), value_options.end(), word) == value_options.end()) {
                return std::unexpected("unknown option " + word);
            }
            if (i + 1 >= words.size()) return std::unexpected("option " + word + " needs a value");
            if (!arguments.options.emplace(word, words[i + 1]).second) {
                return std::unexpected("option " + word + " is given twice");
            }
            ++i;
            continue;
        }
        arguments.operands.push_back(words[i]);
    }
    if (arguments.operands.size() != operand_count) {
        return std::unexpected(operand_count == 0 ? "unexpected operand " + native_lossy(arguments.operands.front())
                                                  : "expected " + std::to_string(operand_count) + " operand" +
                                                        (operand_count == 1 ? "" : "s") + ", found " +
                                                        std::to_string(arguments.operands.size()));
    }
    return arguments;
}

std::expected<std::string, Failure> required_option(const Arguments& arguments, const std::string& name) {
    const auto value = arguments.option(name);
    if (!value) return std::unexpected("option " + name + " is required");
    return native_lossy(*value);
}

std::expected<fs::path, Failure> required_path(const Arguments& arguments, const std::string& name) {
    const auto value = arguments.option(name);
    if (!value) return std::unexpected("option " + name + " is required");
    return fs::path(*value);
}

std::optional<std::string> optional_text(const Arguments& arguments, const std::string& name) {
    const auto value = arguments.option(name);
    if (!value) return std::nullopt;
    return native_lossy(*value);
}

std::optional<std::uint64_t> parse_u64(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace tessaryndle::release
