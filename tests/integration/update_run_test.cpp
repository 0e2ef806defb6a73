// The whole update as users meet it: a stand-in application (signed like the
// product) writes a plan into its session directory, starts the installed
// agent with its standard output on a pipe, waits for "READY" and exits; the
// agent verifies and installs the release-signed version 2 and relaunches the
// application through the launcher. Under Wine with the Windows build, and
// natively with the POSIX layer.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <string_view>
#include <thread>

#include "agent/test_hooks.h"
#include "client/updater_client.h"
#include "common/constants.h"
#include "platform/process.h"
#include "tests/support/agent_runner.h"
#include "tests/support/environment.h"
#include "tests/support/eventually.h"
#include "tests/support/pkexec_stand_in.h"
#include "tests/support/plan_fixture.h"
#include "tests/support/process_state.h"
#include "tests/support/release_signing.h"
#include "tests/support/run_program.h"
#include "tests/support/test_support.h"
#include "tests/support/update_world.h"

namespace tessaryndle::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::vector<std::string> lines_of(const fs::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file, std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool present(const fs::path& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

// The Linux path of a path as the test sees it (Wine shows "/" as Z:).
std::string host_path(const fs::path& path) {
    std::string text = path.string();
    if (!on_windows()) return text;
    if (text.size() >= 2 && (text[0] == 'Z' || text[0] == 'z') && text[1] == ':') text.erase(0, 2);
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

bool writable(const fs::path& directory) {
    const fs::path probe = directory / "probe-from-test";
    std::ofstream out(probe);
    const bool ok = static_cast<bool>(out << "x");
    out.close();
    std::error_code ec;
    fs::remove(probe, ec);
    return ok && !present(probe);
}

// Makes a directory impossible to add entries to, for root as well: the
// immutable attribute (chattr +i), which Wine's file server meets like any
// other program. Undone at destruction.
class Immutable {
public:
    explicit Immutable(fs::path directory) : directory_(std::move(directory)) { set(true); }
    ~Immutable() { release(); }
    void release() {
        if (held_) set(false);
    }

private:
    void set(bool on) {
        RunOptions options;
        options.arguments = native_args({on ? "+i" : "-i", host_path(directory_)});
        options.capture_stdout = false;
        const fs::path chattr = on_windows() ? fs::path("Z:\\usr\\bin\\chattr") : fs::path("/usr/bin/chattr");
        static_cast<void>(run_program(chattr, options));
        // Under Wine the run of a Linux program can return before the
        // program is done: the change is awaited (in vain on a file system
        // without the attribute, which the tests then skip).
        if (on_windows()) static_cast<void>(eventually([&] { return writable(directory_) != on; }, 10s));
        held_ = on;
    }
    fs::path directory_;
    bool held_ = false;
};

struct Handshake {
    std::string line;  // the agent's first line as the application saw it
    std::uint32_t agent_pid = 0;
};

class UpdateRun : public ::testing::Test {
protected:
    TempDir dir;
    AgentRunner log;  // only for the failure log's place
    UpdateWorld world = make_update_world(dir.path());
    // Natively the machine's program data folder is a directory of the test;
    // like the real one, it exists before any update runs.
    bool program_data_made = on_windows() || fs::create_directories(dir / "ProgramData");

    // Where the application runs (the test's own directory when empty); the
    // session directory is named to it relative to that directory.
    fs::path application_directory;
    // Natively, the pkexec the agent starts its worker through (none: the
    // real one, missing on this machine).
    fs::path pkexec;

    std::map<std::string, std::string> environment() const {
        std::map<std::string, std::string> env{{"TESSARYNDLE_STANDIN_RECORD", world.records.string()}};
        if (!on_windows()) {
            env["XDG_DATA_HOME"] = log.failure_log_path().parent_path().parent_path().parent_path().string();
            env["SSL_CERT_FILE"] = signed_programs_root_ca().string();
            env["PROGRAMDATA"] = (dir / "ProgramData").string();
            if (!pkexec.empty()) env["TESSARYNDLE_TEST_PKEXEC"] = pkexec.string();
        }
        return env;
    }

    // Natively the worker starts through a pkexec that grants at once.
    void grant_elevation() {
        if (!on_windows()) pkexec = write_pkexec(dir.path(), GRANTING_PKEXEC);
    }

    // Natively the agent's hold on the application cannot keep its process
    // identifier for the worker once the test has reaped it, so the
    // application runs on until the worker has prepared its build (or been
    // stopped there) and is about to wait for it.
    void hold_until_the_worker_waits() const {
        if (on_windows()) return;
        EXPECT_TRUE(eventually([&] { return present(privileged_session() / "Extracted" / "payload" / "build.txt"); }));
        std::this_thread::sleep_for(2s);
    }

    fs::path program_data() const {
        if (!on_windows()) return dir / "ProgramData";
        return fs::path(get_environment_or("PROGRAMDATA", "C:\\ProgramData"));
    }
    static std::string get_environment_or(const char* name, const char* fallback) {
        const char* value = std::getenv(name);
        return value ? value : fallback;
    }
    fs::path privileged_session() const {
        return program_data() / std::string(TRUSTED_APPLICATION_ID) / "Updater" / world.plan.nonce;
    }

    // Runs the application's side of an update: the stand-in starts the
    // installed agent and exits after its first line. `while_running` runs
    // after "READY" while the application still runs. Returns once the agent
    // has ended.
    Handshake update(std::map<std::string, std::string> extra = {},
                     const std::function<void()>& while_running = nullptr) {
        RunOptions options;
        options.environment = environment();
        for (auto& [k, v] : extra) options.environment[k] = v;
        const fs::path session =
            application_directory.empty() ? world.session : world.session.lexically_relative(application_directory);
        options.arguments = {path_from_utf8("--update").native(), world.plan_template.native(), session.native(),
                             world.agent().native()};
        options.working_directory = application_directory;
        options.capture_stdout = false;
        const fs::path release = world.records / "release";
        if (while_running) options.environment["TESSARYNDLE_STANDIN_HOLD"] = release.string();

        RunResult result;
        std::thread application([&] { result = run_program(world.application(), options); });
        const fs::path handshake_file = world.records / "handshake.txt";
        const bool answered = eventually([&] { return present(handshake_file); }, 120s);
        Handshake handshake;
        if (answered) {
            const auto lines = lines_of(handshake_file);
            handshake.line = lines.empty() ? "" : lines[0];
            if (lines.size() > 1) handshake.agent_pid = static_cast<std::uint32_t>(std::stoul(lines[1].substr(10)));
            if (while_running && handshake.line == "READY") while_running();
        }
        write_file(release, "");
        application.join();
        EXPECT_TRUE(answered) << "the agent never answered";
        EXPECT_EQ(result.exit_status, 0) << result.start_error;
        if (handshake.agent_pid != 0) {
            EXPECT_TRUE(wait_for_process_end(handshake.agent_pid, 120000)) << "the agent did not end";
        }
        return handshake;
    }

    std::vector<std::string> starts() const { return lines_of(world.records / "starts.txt"); }
    std::string started_by_update() const { return "start build=" + std::string(OLD_BUILD) + " args=4"; }

    // The relaunch went through the launcher to version 2, without arguments.
    void expect_relaunched_new_build() {
        const std::string relaunched = "start build=" + std::string(NEW_BUILD) + " args=0";
        EXPECT_TRUE(eventually([&] { return starts().size() >= 2; })) << "no relaunch";
        const auto seen = starts();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].rfind(started_by_update(), 0), 0u) << seen[0];
        EXPECT_EQ(seen[1], relaunched);
    }

    // What a user sees after a successful update: version 2 current, the
    // launcher starting it with the user's arguments, the session and the
    // staging directory gone, no failure reported.
    void expect_updated() {
        expect_relaunched_new_build();
        EXPECT_EQ(current_build(world.install), NEW_BUILD);
        EXPECT_FALSE(present(world.session));
        EXPECT_FALSE(present(world.staging));
        EXPECT_TRUE(present(world.archive)) << "the downloaded archive is the application's";
        EXPECT_EQ(log.failure_log(), std::nullopt);

        RunOptions options;
        options.environment = environment();
        options.arguments = native_args({"--from-the-launcher"});
        options.capture_stdout = false;
        const RunResult launched = run_program(world.launcher(), options);
        EXPECT_EQ(launched.exit_status, 0) << launched.start_error;
        EXPECT_TRUE(eventually([&] { return starts().size() >= 3; }));
        EXPECT_EQ(starts().back(), "start build=" + std::string(NEW_BUILD) + " args=1 --from-the-launcher");
    }

    void expect_unchanged_before_ready(const Handshake& handshake, const std::string& error) {
        EXPECT_EQ(handshake.line, "ERROR:" + error);
        EXPECT_EQ(log.failure_log(), error);
        EXPECT_EQ(current_build(world.install), OLD_BUILD);
        EXPECT_TRUE(present(world.session / "plan.json"));
        EXPECT_TRUE(present(world.staging / "payload"));
        EXPECT_EQ(starts().size(), 1u) << "nothing was relaunched";
    }
};

TEST_F(UpdateRun, InstallsInTheAgentWhenTheInstallationIsWritable) {
    const Handshake handshake = update();
    EXPECT_EQ(handshake.line, "READY");
    expect_updated();
    EXPECT_FALSE(present(privileged_session())) << "no worker ran";
}

TEST_F(UpdateRun, InstallsThroughTheElevatedWorkerWhenTheInstallationIsNotWritable) {
    Immutable locked(world.install);
    if (writable(world.install)) GTEST_SKIP() << "this file system cannot make the installation unwritable";
    // The worker installs only after the application has exited; by then the
    // installation is writable again, as it is for an administrator.
    const Handshake handshake = update({}, [&] { locked.release(); });
    if (!on_windows()) {
        // Natively the worker is started through pkexec; without it (as on
        // this machine) the run ends before READY and nothing is installed.
        EXPECT_EQ(handshake.line.rfind("ERROR:installation failed: launch elevated Windows installer: ", 0), 0u)
            << handshake.line;
        EXPECT_EQ(current_build(world.install), OLD_BUILD);
        return;
    }
    EXPECT_EQ(handshake.line, "READY");
    expect_updated();
    EXPECT_FALSE(present(privileged_session())) << "the worker removes its own directory";
}

TEST_F(UpdateRun, AnUntrustedPlanNeverGetsReady) {
    world.plan.application_id = "com.example.other";
    world.write_template();
    const Handshake handshake = update();
    expect_unchanged_before_ready(
        handshake, "installation failed: the install plan does not target a trusted Tessaryndle release");
}

TEST_F(UpdateRun, ABadSignatureNeverGetsReady) {
    world.plan.artifact.ed25519_signature = sign_release_bytes("some other archive");
    world.write_template();
    const Handshake handshake = update();
    ASSERT_EQ(handshake.line.rfind("ERROR:the update signature is invalid: ", 0), 0u) << handshake.line;
    expect_unchanged_before_ready(handshake, handshake.line.substr(6));
}

TEST_F(UpdateRun, ARelaunchFailureKeepsTheNewBuildAndTheSession) {
    world.plan.relaunch_path = world.install / "missing.exe";
    world.write_template();
    const Handshake handshake = update();
    EXPECT_EQ(handshake.line, "READY");
    EXPECT_EQ(current_build(world.install), NEW_BUILD);
    EXPECT_TRUE(present(world.session / "plan.json"));
    EXPECT_TRUE(present(world.staging));
    const auto error = log.failure_log();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->rfind("I/O error at " + path_display(world.plan.relaunch_path) + ": ", 0), 0u) << *error;
    EXPECT_EQ(starts().size(), 1u);
}

TEST_F(UpdateRun, AWorkerThatCannotWriteItsResultIsReportedOnceItHasEnded) {
    // A directory where the worker's temporary result goes makes its result
    // write fail (a left-over temporary file would just be removed), so no
    // result ever appears. The agent sees the worker end; the time limit,
    // shortened to a minute by the test hook, is never reached.
    grant_elevation();
    fs::create_directories(world.session / "install-result.json.part");
    Immutable locked(world.install);
    if (writable(world.install)) GTEST_SKIP() << "this file system cannot make the installation unwritable";
    const Handshake handshake =
        update({{std::string(agent::test_hooks::RESULT_TIME_LIMIT_VARIABLE), "60000"}}, [&] { locked.release(); });
    EXPECT_EQ(handshake.line, "READY");
    EXPECT_EQ(log.failure_log(), "installation failed: the privileged installer ended without a result");
    EXPECT_TRUE(present(world.session / "plan.json"));
    EXPECT_EQ(starts().size(), 1u) << "nothing is relaunched";
}

// A worker stopped part-way (the kill hook, as a crash or a kill would end
// it) leaves no result. The agent reports that as soon as the worker has
// ended, long before the time limit (a minute here, so that a wait that
// missed the end fails on its text instead of lasting 30 minutes).
class KilledWorker : public UpdateRun, public ::testing::WithParamInterface<const char*> {};

TEST_P(KilledWorker, IsReportedAtOnce) {
#ifndef TESSARYNDLE_TEST_HOOKS
    GTEST_SKIP() << "built without TESSARYNDLE_TEST_HOOKS";
#endif
    grant_elevation();
    Immutable locked(world.install);
    if (writable(world.install)) GTEST_SKIP() << "this file system cannot make the installation unwritable";
    std::chrono::steady_clock::time_point ready;
    const Handshake handshake = update({{std::string(agent::test_hooks::STOP_AT_VARIABLE), GetParam()},
                                        {std::string(agent::test_hooks::RESULT_TIME_LIMIT_VARIABLE), "60000"}},
                                       [&] {
                                           ready = std::chrono::steady_clock::now();
                                           locked.release();
                                           hold_until_the_worker_waits();
                                       });
    const auto reported = std::chrono::steady_clock::now() - ready;
    EXPECT_EQ(handshake.line, "READY");
    EXPECT_EQ(log.failure_log(), "installation failed: the privileged installer ended without a result");
    EXPECT_LT(reported, 60s) << "the agent waited for the time limit";
    EXPECT_TRUE(present(world.session / "plan.json"));
    EXPECT_FALSE(present(world.session / std::string(INSTALL_RESULT_FILE_NAME)));
    EXPECT_EQ(starts().size(), 1u) << "nothing is relaunched";
}

INSTANTIATE_TEST_SUITE_P(UpdateRun, KilledWorker,
                         ::testing::Values("after-archive-extracted", "after-manifest-switched"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name;
                             for (const char c : std::string_view(info.param)) name += c == '-' ? '_' : c;
                             return name;
                         });

// The application may name its files relative to its own directory. The
// agent takes them from there, before it moves to a directory that no
// update removes, so the update is the same as with absolute paths.
class RelativePaths : public UpdateRun {
protected:
    void SetUp() override {
        application_directory = world.root;
        for (fs::path* path : {&world.plan.archive_path, &world.plan.staging_directory, &world.plan.install_source,
                               &world.plan.install_target, &world.plan.relaunch_path}) {
            *path = path->lexically_relative(world.root);
        }
        world.write_template();
    }
};

TEST_F(RelativePaths, AreTheApplicationsOwn) {
    std::optional<fs::path> agent_directory;
    const Handshake handshake = update({}, [&] {
        // The agent waits for the application now; natively its directory
        // shows from outside.
        if (on_windows()) return;
        const auto lines = lines_of(world.records / "handshake.txt");
        if (lines.size() > 1) agent_directory = fs::read_symlink("/proc/" + lines[1].substr(10) + "/cwd");
    });
    EXPECT_EQ(handshake.line, "READY");
    expect_updated();
    if (!on_windows()) {
        EXPECT_EQ(agent_directory, fs::path("/"));
    }
}

TEST_F(RelativePaths, AreRefusedBeforeReadyWhenTheWorkerWouldReadThem) {
    Immutable locked(world.install);
    if (writable(world.install)) GTEST_SKIP() << "this file system cannot make the installation unwritable";
    const Handshake handshake = update();
    // The first path the worker would read again that is relative.
    expect_unchanged_before_ready(handshake,
                                  "installation failed: the install plan's archive_path is a relative path, which an "
                                  "elevated installation cannot use");
    EXPECT_FALSE(present(privileged_session())) << "no worker was started";
}

// Execute-plan mode run directly, as the elevated side would be.
class ExecutePlanMode : public UpdateRun {
protected:
    fs::path plan_path = world.session / "plan.json";
    fs::path result_path = world.session / std::string(INSTALL_RESULT_FILE_NAME);

    RunResult execute(std::uint32_t parent_pid) {
        world.plan.parent_pid = parent_pid;
        fs::create_directories(world.session);
        write_file(plan_path, plan_text(world.plan));
        RunOptions options;
        options.environment = environment();
        options.arguments = {path_from_utf8("--execute-plan").native(), plan_path.native(),
                             path_from_utf8("--result").native(), result_path.native()};
        return run_program(world.agent(), options);
    }
};

TEST_F(ExecutePlanMode, InstallsOnceTheApplicationHasExited) {
    // The application runs until the worker has prepared everything.
    const fs::path release = world.records / "release";
    std::optional<platform::ChildProcess> application;
    {
        const ScopedEnvironment records("TESSARYNDLE_STANDIN_RECORD", world.records.string());
        const ScopedEnvironment hold("TESSARYNDLE_STANDIN_HOLD", release.string());
        auto started = platform::start_process_with_null_stdio(world.application(), native_args({"--wait"}));
        ASSERT_TRUE(started) << started.error().display();
        application.emplace(std::move(*started));
    }

    RunResult result;
    std::thread worker([&] { result = execute(application->id()); });
    EXPECT_TRUE(eventually([&] { return present(privileged_session() / "Extracted" / "payload" / "build.txt"); }));
    std::this_thread::sleep_for(2s);
    write_file(release, "");
    worker.join();
    static_cast<void>(application->wait());

    EXPECT_EQ(result.exit_status, 0) << result.stdout_bytes;
    EXPECT_EQ(result.stdout_bytes, "");
    EXPECT_EQ(read_file(result_path), R"({"ok":true})");
    EXPECT_FALSE(present(world.session / "install-result.json.part"));
    EXPECT_EQ(current_build(world.install), NEW_BUILD);
    EXPECT_FALSE(present(privileged_session()));
}

TEST_F(ExecutePlanMode, RefusesAnUnsafeEntryOfItsOwnCopy) {
    TempDir other;
    UpdateWorld unsafe = make_update_world(other.path(), {.unsafe_entry = true});
    world.plan.archive_path = unsafe.archive;
    world.plan.artifact = unsafe.plan.artifact;
    const auto before = listing(program_data());

    // The archive passes the unprivileged checks (its signature is good and
    // the application's own extraction is clean); the worker's extraction of
    // its copy must refuse it before anything is written outside.
    const RunResult result = execute(client::current_process_id());
    EXPECT_EQ(result.exit_status, 1);
    const std::string error = "the update artifact is invalid: archive contains unsafe path ../escaped.txt";
    EXPECT_EQ(read_file(result_path), R"({"error":")" + error + R"(","ok":false})");
    EXPECT_EQ(result.stdout_bytes, "ERROR:" + error + "\n");
    EXPECT_EQ(current_build(world.install), OLD_BUILD);
    EXPECT_FALSE(present(program_data() / std::string(TRUSTED_APPLICATION_ID) / "Updater" / "escaped.txt"));
    EXPECT_FALSE(present(privileged_session().parent_path() / "escaped.txt"));
}

TEST_F(ExecutePlanMode, WritesNoResultThroughALinkedSessionDirectory) {
    if (on_windows()) GTEST_SKIP() << "Wine cannot make junctions; the link cases run natively";
    // The plan's directory is a link to a directory the user must not be able
    // to write into through the worker.
    fs::create_directories(world.session);
    write_file(world.session / "plan.json", plan_text(world.plan));
    const fs::path linked = dir / "linked-session";
    fs::create_directory_symlink(world.session, linked);
    RunOptions options;
    options.environment = environment();
    options.arguments = {path_from_utf8("--execute-plan").native(), (linked / "plan.json").native(),
                         path_from_utf8("--result").native(), (linked / "install-result.json").native()};
    const auto before = listing(world.session);
    const RunResult result = run_program(world.agent(), options);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.stdout_bytes,
              "ERROR:installation failed: the install result path is outside the updater session\n");
    EXPECT_EQ(listing(world.session), before);
    EXPECT_FALSE(present(privileged_session()));
}

}  // namespace
}  // namespace tessaryndle::test
