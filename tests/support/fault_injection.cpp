#include "tests/support/fault_injection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "client/updater_client.h"
#include "common/constants.h"
#include "platform/process.h"
#include "tests/support/environment.h"
#include "tests/support/plan_fixture.h"
#include "tests/support/test_support.h"

namespace tessaryndle::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

FaultWorld::FaultWorld(const fs::path& root)
    : world(make_update_world(root)), pristine_staging_(root / "pristine-staging") {
    fs::copy(world.staging, pristine_staging_, fs::copy_options::recursive);
    if (!on_windows()) fs::create_directories(root / "ProgramData");
}

fs::path FaultWorld::program_data() const {
    if (!on_windows()) return world.root / "ProgramData";
    return fs::path(get_environment("PROGRAMDATA").value_or("C:\\ProgramData"));
}

fs::path FaultWorld::privileged_session() const {
    return program_data() / std::string(TRUSTED_APPLICATION_ID) / "Updater" / world.plan.nonce;
}

std::map<std::string, std::string> FaultWorld::environment() const {
    std::map<std::string, std::string> env{{"TESSARYNDLE_STANDIN_RECORD", world.records.string()}};
    if (!on_windows()) {
        env["XDG_DATA_HOME"] = log.failure_log_path().parent_path().parent_path().parent_path().string();
        env["SSL_CERT_FILE"] = signed_programs_root_ca().string();
        env["PROGRAMDATA"] = program_data().string();
    }
    return env;
}

RunResult FaultWorld::run(InstallMode mode, const std::map<std::string, std::string>& extra) {
    // The application: started and ended at once, but not reaped (natively)
    // and its handle kept (Windows), so its process identifier stays its own
    // while the agent waits for it.
    auto application = platform::start_process_with_null_stdio(world.application(), {});
    if (!application) {
        ADD_FAILURE() << "cannot start the application: " << application.error().display();
        return {};
    }
    world.plan.parent_pid = application->id();
    const fs::path plan_path = world.session / "plan.json";
    fs::create_directories(world.session);
    write_file(plan_path, plan_text(world.plan));

    RunOptions options;
    options.environment = environment();
    for (const auto& [name, value] : extra) options.environment[name] = value;
    if (mode == InstallMode::InProcess) {
        options.arguments = {path_from_utf8("--install-plan").native(), plan_path.native()};
    } else {
        options.arguments = {path_from_utf8("--execute-plan").native(), plan_path.native(),
                             path_from_utf8("--result").native(),
                             (world.session / std::string(INSTALL_RESULT_FILE_NAME)).native()};
    }
    RunResult result = run_program(agent_program.empty() ? world.agent() : agent_program, options);
    static_cast<void>(application->wait());
    return result;
}

std::string FaultWorld::run_while_application_waits(const std::function<void()>& while_running) {
    const fs::path release = world.records / "release";
    std::error_code ec;
    fs::remove(release, ec);
    std::vector<std::unique_ptr<ScopedEnvironment>> scoped;
    for (const auto& [name, value] : environment()) scoped.push_back(std::make_unique<ScopedEnvironment>(name, value));
    scoped.push_back(std::make_unique<ScopedEnvironment>("TESSARYNDLE_STANDIN_HOLD", release.string()));

    auto application = platform::start_process_with_null_stdio(world.application(), native_args({"--wait"}));
    if (!application) {
        ADD_FAILURE() << "cannot start the application: " << application.error().display();
        return "";
    }
    world.plan.parent_pid = application->id();
    const fs::path plan_path = world.session / "plan.json";
    fs::create_directories(world.session);
    write_file(plan_path, plan_text(world.plan));

    // The agent started and answered as the application's client library
    // does it.
    auto agent = client::UpdateAgent::start(agent_program.empty() ? world.agent() : agent_program, plan_path);
    if (!agent) {
        ADD_FAILURE() << "cannot start the agent: " << agent.error().display();
        publish_file(release, "");
        static_cast<void>(application->wait());
        return "";
    }
    const auto reply = agent->wait_for_reply();
    std::string line = "<eof>";
    if (!reply) {
        ADD_FAILURE() << "cannot read the agent's reply: " << reply.error().display();
    } else if (reply->kind == client::AgentReplyKind::Ready) {
        line = "READY";
    } else if (reply->kind == client::AgentReplyKind::Error) {
        line = "ERROR:" + reply->error_text;
    }
    if (line == "READY") while_running();
    publish_file(release, "");
    static_cast<void>(application->wait());
    EXPECT_TRUE(agent->wait_for_exit(120s).has_value()) << "the agent did not end";
    return line;
}

void FaultWorld::prepare_next_attempt() {
    fs::remove_all(world.session);
    fs::remove_all(world.staging);
    fs::copy(pristine_staging_, world.staging, fs::copy_options::recursive);
    world.plan.nonce = fresh_nonce();
    log.remove_failure_log();
}

std::string FaultWorld::launched_build() {
    const std::string mark = "--launch-check-" + std::to_string(++launches_);
    RunOptions options;
    options.environment = environment();
    options.arguments = native_args({mark});
    options.capture_stdout = false;
    const RunResult launched = run_program(world.launcher(), options);
    if (launched.exit_status != 0) {
        ADD_FAILURE() << "launcher exit status " << launched.exit_status << " " << launched.start_error;
        return "";
    }
    // The stand-in records "start build=B args=1 MARK" when it starts.
    const std::string suffix = " args=1 " + mark;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream starts(world.records / "starts.txt", std::ios::binary);
        for (std::string line; std::getline(starts, line);) {
            if (line.size() > suffix.size() && line.ends_with(suffix) && line.starts_with("start build=")) {
                return line.substr(12, line.size() - suffix.size() - 12);
            }
        }
        std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "the launcher started no build";
    return "";
}

}  // namespace tessaryndle::test
