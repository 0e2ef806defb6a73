#include "tests/support/agent_runner.h"

#include "platform/known_folders.h"

namespace tessaryndle::test {

AgentRunner::AgentRunner() {
    if (on_windows()) {
        log_ = platform::local_app_data_folder().value_or(data_.path()) / "com.tessaryndle.qm4-link" / "Updater" /
               "last-error.log";
    } else {
        log_ = data_.path() / "com.tessaryndle.qm4-link" / "Updater" / "last-error.log";
    }
    remove_failure_log();
}

AgentRunner::~AgentRunner() { remove_failure_log(); }

RunResult AgentRunner::run(const std::vector<NativeString>& arguments, bool capture_stdout) const {
    RunOptions options;
    options.capture_stdout = capture_stdout;
    options.arguments = arguments;
    if (!on_windows()) options.environment["XDG_DATA_HOME"] = data_.path().string();
    return run_program(bin_dir() / "tessaryndle-updater-agent.exe", options);
}

RunResult AgentRunner::run_utf8(const std::vector<std::string>& arguments) const { return run(native_args(arguments)); }

std::optional<std::string> AgentRunner::failure_log() const {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(log_, ec)) return std::nullopt;
    return read_file(log_);
}

void AgentRunner::remove_failure_log() const {
    std::error_code ec;
    std::filesystem::remove(log_, ec);
}

}  // namespace tessaryndle::test
