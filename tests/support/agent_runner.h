#pragma once
// Runs the built agent as the application does, with its failure log pointed
// at a directory of the test (natively) or read from the Wine prefix's local
// application data folder (Windows build).

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

namespace tessaryndle::test {

class AgentRunner {
public:
    AgentRunner();
    ~AgentRunner();
    AgentRunner(const AgentRunner&) = delete;
    AgentRunner& operator=(const AgentRunner&) = delete;

    // Runs bin/tessaryndle-updater-agent.exe with the arguments.
    // Standard output goes to the null device unless captured.
    [[nodiscard]] RunResult run(const std::vector<NativeString>& arguments, bool capture_stdout = true) const;
    [[nodiscard]] RunResult run_utf8(const std::vector<std::string>& arguments) const;

    // The failure log the agent writes; nullopt when it does not exist.
    [[nodiscard]] std::optional<std::string> failure_log() const;
    [[nodiscard]] const std::filesystem::path& failure_log_path() const { return log_; }
    void remove_failure_log() const;

private:
    TempDir data_;
    std::filesystem::path log_;
};

}  // namespace tessaryndle::test
