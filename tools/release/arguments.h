#pragma once
// The release tool's command lines: the operands, options and flags after a
// command, and the typed reads of what they hold. Failures are the one-line
// texts the tool prints.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace tessaryndle::release {

using Failure = std::string;

// The operands and options of one command.
struct Arguments {
    std::vector<NativeString> operands;
    std::map<std::string, NativeString> options;
    std::set<std::string> flags;  // options without a value that were given
    bool help = false;

    [[nodiscard]] std::optional<NativeString> option(const std::string& name) const {
        const auto found = options.find(name);
        if (found == options.end()) return std::nullopt;
        return found->second;
    }
};

// Splits the words after the command: "--help", options that take a value
// (each at most once), flags (each at most once) and exactly
// `operand_count` operands.
[[nodiscard]] std::expected<Arguments, Failure> parse_arguments(std::span<const NativeString> words,
                                                                std::span<const std::string_view> value_options,
                                                                std::span<const std::string_view> flag_options,
                                                                std::size_t operand_count);

// The value of option `name`; failure "option {name} is required".
[[nodiscard]] std::expected<std::string, Failure> required_option(const Arguments& arguments, const std::string& name);
[[nodiscard]] std::expected<std::filesystem::path, Failure> required_path(const Arguments& arguments,
                                                                          const std::string& name);
[[nodiscard]] std::optional<std::string> optional_text(const Arguments& arguments, const std::string& name);

// A decimal number without sign, exponent or leading "+".
[[nodiscard]] std::optional<std::uint64_t> parse_u64(std::string_view text);

}  // namespace tessaryndle::release
