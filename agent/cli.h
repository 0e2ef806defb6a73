#pragma once
// The agent's command line: three fixed shapes, checked completely before any
// mode runs.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/update_error.h"
#include "platform/text.h"

namespace tessaryndle::agent {

struct InstallPlanCommand {
    std::filesystem::path plan_path;
};

struct ExecutePlanCommand {
    std::filesystem::path plan_path;
    std::filesystem::path result_path;
};

struct ShowProgressCommand {
    std::uint64_t delay_ms = 0;
    std::string app_name;  // converted to text, invalid sequences as U+FFFD
    std::filesystem::path app_path;
};

using Command = std::variant<InstallPlanCommand, ExecutePlanCommand, ShowProgressCommand>;

// Parses the arguments that follow the program path. Every refusal is an
// Installation error with the fixed usage message of the first failing check.
[[nodiscard]] Result<Command> parse_command_line(const std::vector<NativeString>& arguments);

// The progress delay: an optional "+" and one or more decimal digits that fit
// in 64 unsigned bits; nothing else.
[[nodiscard]] std::optional<std::uint64_t> parse_delay(std::string_view text);

// The whole entry: parse, run the mode, report a failure. `arguments` is the
// full argument vector including the program path. Returns the exit status,
// 0 or 1.
[[nodiscard]] int run_agent(const std::vector<NativeString>& arguments);

}  // namespace tessaryndle::agent
