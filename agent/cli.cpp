#include "agent/cli.h"

#include "agent/modes.h"
#include "agent/report.h"
#include "platform/process.h"
#include "platform/sleep.h"

namespace tessaryndle::agent {
namespace {

constexpr std::string_view USAGE = "the updater agent requires --install-plan or --execute-plan";
constexpr std::string_view UNEXPECTED = "the updater agent received unexpected arguments";

// Option words are compared exactly, unit for unit.
bool is_word(const NativeString& argument, std::string_view word) {
    if (argument.size() != word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (static_cast<std::uint32_t>(argument[i]) != static_cast<unsigned char>(word[i])) return false;
    }
    return true;
}

UpdateError usage(std::string_view message) { return UpdateError::installation(std::string(message)); }

UpdateError missing_path(std::string_view what) {
    return UpdateError::installation("the " + std::string(what) + " path is missing");
}

}  // namespace

std::optional<std::uint64_t> parse_delay(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

Result<Command> parse_command_line(const std::vector<NativeString>& args) {
    auto at = [&](std::size_t position) -> const NativeString* {
        return position <= args.size() ? &args[position - 1] : nullptr;
    };
    const NativeString* mode = at(1);
    if (mode == nullptr) return fail(usage(USAGE));

    if (is_word(*mode, "--install-plan")) {
        if (!at(2)) return fail(missing_path("install plan"));
        if (args.size() > 2) return fail(usage(UNEXPECTED));
        return InstallPlanCommand{std::filesystem::path(*at(2))};
    }

    if (is_word(*mode, "--execute-plan")) {
        if (!at(2)) return fail(missing_path("install plan"));
        if (!at(3) || !is_word(*at(3), "--result")) {
            return fail(usage("the privileged updater worker requires --result"));
        }
        if (!at(4)) return fail(missing_path("install result"));
        if (args.size() > 4) return fail(usage(UNEXPECTED));
        return ExecutePlanCommand{std::filesystem::path(*at(2)), std::filesystem::path(*at(4))};
    }

    if (is_word(*mode, "--show-progress-after")) {
        const auto delay = at(2) ? parse_delay(native_lossy(*at(2))) : std::nullopt;
        if (!delay) return fail(usage("the progress delay is invalid"));
        if (!at(3) || !is_word(*at(3), "--app-name")) {
            return fail(usage("the progress helper requires --app-name"));
        }
        if (!at(4)) return fail(usage("the application name is missing"));
        if (!at(5) || !is_word(*at(5), "--app-path")) {
            return fail(usage("the progress helper requires --app-path"));
        }
        if (!at(6)) return fail(missing_path("application"));
        if (args.size() > 6) return fail(usage(UNEXPECTED));
        return ShowProgressCommand{*delay, native_lossy(*at(4)), std::filesystem::path(*at(6))};
    }

    return fail(usage(USAGE));
}

int run_agent(const std::vector<NativeString>& arguments) {
    // The program path is not an argument.
    std::vector<NativeString> args;
    if (arguments.size() > 1) args.assign(arguments.begin() + 1, arguments.end());

    auto run = [](const Command& command) -> Result<void> {
        if (const auto* install = std::get_if<InstallPlanCommand>(&command)) {
            return run_install_plan(install->plan_path);
        }
        if (const auto* execute = std::get_if<ExecutePlanCommand>(&command)) {
            return run_execute_plan(execute->plan_path, execute->result_path);
        }
        const auto& progress = std::get<ShowProgressCommand>(command);
        // The window belongs to the agent's run and ends with it, however
        // that ends.
        platform::end_with_parent();
        // The whole delay passes before any window exists.
        platform::sleep_milliseconds(progress.delay_ms);
        return show_progress_window(progress.app_name, progress.app_path);
    };

    const Result<Command> command = parse_command_line(args);
    const Result<void> outcome = command ? run(*command) : Result<void>(std::unexpect, command.error());
    if (outcome) return 0;
    const bool worker = command && std::holds_alternative<ExecutePlanCommand>(*command);
    report_failure(outcome.error(), worker ? FailureLog::Skip : FailureLog::Write);
    return 1;
}

}  // namespace tessaryndle::agent
