#pragma once
// One installation with an update ready, and the application's side of the
// update played by the test itself, so that a test sees the agent's (or the
// worker's) own exit status: the fault-injection tests stop it at a chosen
// point, break its disk or hold its files, then look at what is left.

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "tests/support/agent_runner.h"
#include "tests/support/run_program.h"
#include "tests/support/update_world.h"

namespace tessaryndle::test {

// How the installation step runs: in the agent itself (the installation is
// writable) or in execute-plan mode, started directly as the elevated side
// would be.
enum class InstallMode { InProcess, Worker };

class FaultWorld {
public:
    // Makes the world below `root`, natively with a program data directory
    // of its own.
    explicit FaultWorld(const std::filesystem::path& root);

    UpdateWorld world;
    AgentRunner log;  // where the failure log is
    // The agent program that run() starts: the installed one unless set.
    std::filesystem::path agent_program;

    [[nodiscard]] std::filesystem::path program_data() const;
    // The worker's session directory for the plan's current nonce.
    [[nodiscard]] std::filesystem::path privileged_session() const;
    [[nodiscard]] std::map<std::string, std::string> environment() const;

    // One update run as the application makes it: the plan (parent_pid: an
    // application that has just exited) written into the session directory,
    // then the installed agent started in install-plan mode, or in
    // execute-plan mode for Worker, and waited for. `extra` is added to the
    // environment.
    RunResult run(InstallMode mode, const std::map<std::string, std::string>& extra = {});

    // An in-process run in which the application keeps running until the
    // agent has answered: `while_running` runs after "READY", before the
    // application exits and so before anything is installed. The agent is
    // started and read through the client library, as the application does.
    // Returns its answer, "READY" or "ERROR:{text}" ("<eof>" when its output
    // ended without one), once the agent has ended.
    std::string run_while_application_waits(const std::function<void()>& while_running);

    // The application's next attempt after a failed one: a new session
    // directory, the payload extracted again into the staging directory, a
    // fresh nonce. The archive is unchanged.
    void prepare_next_attempt();

    // Starts the installed launcher as a user would and returns the build
    // whose application it started ("" with a test failure when none did).
    std::string launched_build();

private:
    std::filesystem::path pristine_staging_;
    int launches_ = 0;
};

}  // namespace tessaryndle::test
