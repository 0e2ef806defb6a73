// The update run's dealings with other processes, with real processes: the
// write probe, the elevated launch, the wait for the application, the
// relaunch and the progress helper.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <stop_token>
#include <thread>
#include <utility>

#include "agent/elevation/process.h"
#include "agent/progress/progress.h"
#include "agent/test_hooks.h"
#include "platform/os_error.h"
#include "platform/process.h"
#include "platform/working_directory.h"
#include "tests/support/environment.h"
#include "tests/support/eventually.h"
#include "tests/support/inheritable_pipe.h"
#include "tests/support/process_state.h"
#include "tests/support/recorded_start.h"
#include "tests/support/result_text.h"
#include "tests/support/test_support.h"

namespace tessaryndle {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

NativeString native(std::string_view utf8) { return path_from_utf8(utf8).native(); }

// The ".tmp…" probe files left in a directory.
std::vector<std::string> probe_files(const fs::path& directory) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(directory)) {
        const std::string name = path_display(entry.path().filename());
        if (name.starts_with(".tmp")) found.push_back(name);
    }
    return found;
}

TEST(NeedsElevation, OnlyADirectoryWhereAFileCanBeCreatedNeedsNone) {
    test::TempDir temp;
    fs::create_directory(temp / "install");
    test::write_file(temp / "file", "x");
    struct Case {
        const char* what;
        fs::path target;
        bool expected;
    };
    const Case cases[] = {
        {"writable directory", temp / "install", false},
        {"writable directory with a trailing separator", temp.path() / "install" / "", false},
        {"missing directory", temp / "missing", true},
        {"path through a regular file", temp / "file" / "install", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(agent::needs_elevation(c.target), c.expected);
    }
    EXPECT_TRUE(probe_files(temp / "install").empty());
    EXPECT_TRUE(probe_files(temp.path()).empty());
}

TEST(NeedsElevation, TakesARelativePathFromTheCurrentDirectory) {
    test::TempDir temp;
    fs::create_directory(temp / "install");
    const fs::path previous = fs::current_path();
    fs::current_path(temp.path());
    const bool relative_writable = agent::needs_elevation("install");
    const bool relative_missing = agent::needs_elevation("missing");
    fs::current_path(previous);
    EXPECT_FALSE(relative_writable);
    EXPECT_TRUE(relative_missing);
    EXPECT_TRUE(probe_files(temp / "install").empty());
}

// A stand-in application: record_args, held until `release` appears.
struct HeldApplication {
    test::TempDir dir;
    fs::path release = dir / "release";
    std::optional<platform::ChildProcess> process;

    HeldApplication() {
        const test::ScopedEnvironment hold("TESSARYNDLE_RECORD_HOLD", path_display(release));
        auto started = platform::start_process_with_null_stdio(test::install_record_helper(dir.path()), {});
        if (started) process.emplace(std::move(*started));
    }
    ~HeldApplication() {
        if (process) {
            (void)process->terminate();
            (void)process->wait();
        }
    }

    // Waits for the application to exit with wait_for_application_exit,
    // releasing it 400 ms after the wait began; gives the wait's outcome
    // and how long it took.
    std::pair<Result<void>, std::chrono::steady_clock::duration> wait_released_after_400ms() {
        const auto start = std::chrono::steady_clock::now();
        std::jthread releaser([&] {
            std::this_thread::sleep_for(400ms);
            test::write_file(release, "");
        });
        auto waited = agent::wait_for_application_exit(process->id());
        return {std::move(waited), std::chrono::steady_clock::now() - start};
    }
};

TEST(WaitForApplicationExit, ReturnsWhenTheProcessHasEnded) {
    HeldApplication application;
    ASSERT_TRUE(application.process.has_value());
    ASSERT_TRUE(test::wait_for_record(application.dir.path()).has_value());

    const auto [waited, elapsed] = application.wait_released_after_400ms();
    ASSERT_TRUE(waited) << waited.error().display();
    EXPECT_GE(elapsed, 350ms);
    // It has really ended: its release file is gone and its status is in.
    EXPECT_FALSE(fs::exists(application.release));
    const auto status = application.process->wait();
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0u);
    application.process.reset();
}

TEST(WaitForApplicationExit, AProcessThatIsGoneCannotBeOpened) {
    test::TempDir temp;
    std::uint32_t id = 0;
    {
        auto started = platform::start_process_with_null_stdio(test::install_record_helper(temp.path()), {});
        ASSERT_TRUE(started);
        id = started->id();
        ASSERT_TRUE(started->wait());
    }  // its handle is closed here, so the identifier is free

    // Wine lets an ended process be opened for a moment after its last
    // handle was closed; the wait then returns at once.
    Result<void> waited;
    (void)test::eventually([&] { return !(waited = agent::wait_for_application_exit(id)); }, 10s);
    ASSERT_FALSE(waited);
    EXPECT_EQ(waited.error().kind(), UpdateErrorKind::Installation);
    // Wine refuses an unknown identifier with ERROR_INVALID_PARAMETER, Linux
    // with ESRCH.
    const std::int64_t code = test::on_windows() ? 87 : 3;
    EXPECT_EQ(waited.error().display(),
              "installation failed: open application process: " + platform::windows_error_text(code));
}

// A worker that runs as another user than the application's is refused the
// application's process (the test hook refuses the first open of each
// wait). The second open, with SeDebugPrivilege, must wait for the process;
// when it fails too, the refusal is what is reported, not the second
// failure.
TEST(WaitForApplicationExit, ARefusedOpenIsTriedOnceMoreAndTheRefusalIsWhatFails) {
#ifndef TESSARYNDLE_TEST_HOOKS
    GTEST_SKIP() << "built without TESSARYNDLE_TEST_HOOKS";
#endif
    const test::ScopedEnvironment deny(std::string(agent::test_hooks::DENY_APPLICATION_OPEN_VARIABLE), "1");

    HeldApplication application;
    ASSERT_TRUE(application.process.has_value());
    ASSERT_TRUE(test::wait_for_record(application.dir.path()).has_value());
    const auto [waited, elapsed] = application.wait_released_after_400ms();
    EXPECT_TRUE(waited) << waited.error().display();
    EXPECT_GE(elapsed, 350ms) << "it waited for the process to end";

    // A process that is gone cannot be opened the second time either.
    test::TempDir temp;
    std::uint32_t id = 0;
    {
        auto started = platform::start_process_with_null_stdio(test::install_record_helper(temp.path()), {});
        ASSERT_TRUE(started);
        id = started->id();
        ASSERT_TRUE(started->wait());
    }
    Result<void> refused;
    (void)test::eventually([&] { return !(refused = agent::wait_for_application_exit(id)); }, 10s);
    const std::int64_t access_denied = test::on_windows() ? 5 : 13;
    EXPECT_EQ(test::outcome(refused),
              "installation failed: open application process: " + platform::windows_error_text(access_denied));
}

TEST(RelaunchApplication, StartsTheProgramWithoutArgumentsInTheGivenDirectory) {
    test::TempDir temp;
    fs::create_directory(temp / "install");
    const fs::path application = test::install_record_helper(temp.path(), "tessaryndle-app.exe");
    ASSERT_TRUE(agent::relaunch_application(application, temp / "install"));
    const auto record = test::wait_for_record(temp.path());
    ASSERT_TRUE(record.has_value());
    EXPECT_TRUE(record->arguments.empty());
    EXPECT_EQ(fs::path(record->cwd), temp / "install");
}

TEST(RelaunchApplication, AProgramThatCannotStartIsAnIoErrorAtItsPath) {
    test::TempDir temp;
    fs::create_directory(temp / "install");
    const fs::path application = test::install_record_helper(temp.path(), "tessaryndle-app.exe");
    const struct {
        const char* what;
        fs::path program;
        fs::path directory;
    } cases[] = {
        {"missing program", temp / "missing.exe", temp / "install"},
        {"missing directory", application, temp / "missing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(test::io_error_at(agent::relaunch_application(c.program, c.directory)), test::io_at(c.program));
    }
    EXPECT_FALSE(fs::exists(temp / "record.txt"));
}

// The helper's command line as it arrives, for the awkward values: a name
// with spaces, an empty name, a target ending in a backslash and holding a
// space, the largest delay.
TEST(ProgressHelper, ReachesTheHelperWithExactlyItsSixArguments) {
    struct Case {
        std::uint64_t delay;
        const char* name;
        const char* target;
        const char* delay_text;
    };
    const Case cases[] = {
        {0, "My Tessaryndle App", R"(C:\Program Files\Tessaryndle)", "0"},
        {250, "", "/opt/tessaryndle", "250"},
        {UINT64_MAX, "Tessaryndle", R"(C:\Program Files\Tessaryndle\)", "18446744073709551615"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.delay_text);
        test::TempDir temp;
        InstallPlan plan;
        plan.fallback_progress_delay_ms = c.delay;
        plan.app_name = c.name;
        plan.install_target = path_from_utf8(c.target);
        agent::ProgressHelper helper =
            agent::start_progress_helper_program(test::install_record_helper(temp.path()), plan);
        ASSERT_TRUE(helper.running());
        const auto record = test::wait_for_record(temp.path());
        ASSERT_TRUE(record.has_value());
        const std::vector<NativeString> expected = {native("--show-progress-after"),
                                                    native(c.delay_text),
                                                    native("--app-name"),
                                                    native(c.name),
                                                    native("--app-path"),
                                                    native(c.target)};
        EXPECT_EQ(record->arguments, expected);
        // Never in the agent's directory, which it would keep from being
        // removed.
        EXPECT_EQ(fs::path(record->cwd), platform::steady_directory().value());
        // The helper has ended on its own; stopping it is still quiet.
        agent::stop_progress_helper(std::move(helper));
    }
}

// The helper gets the null device and nothing else of ours. An inheritable
// handle that it kept (in the agent, the standard output the application
// reads until every writer has closed it) would stay open for as long as
// the helper runs.
TEST(ProgressHelper, InheritsNoHandleOfOurs) {
    test::TempDir temp;
    test::InheritablePipe pipe;
    const fs::path release = temp / "release";
    const test::ScopedEnvironment hold("TESSARYNDLE_RECORD_HOLD", path_display(release));
    agent::ProgressHelper helper =
        agent::start_progress_helper_program(test::install_record_helper(temp.path()), InstallPlan{});
    ASSERT_TRUE(helper.running());
    pipe.close_write_end();

    // A helper holding the write end keeps the output open until it is let
    // go here, a while later.
    std::atomic<bool> released = false;
    std::jthread releaser([&](std::stop_token stop) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!stop.stop_requested() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
        if (stop.stop_requested()) return;
        released = true;
        test::write_file(release, "");
    });
    EXPECT_TRUE(pipe.wait_for_end_of_output());
    EXPECT_FALSE(released) << "the output ended only once the helper was let go";
    releaser.request_stop();
    releaser.join();
    agent::stop_progress_helper(std::move(helper));
}

TEST(ProgressHelper, IsGoneWhenStopReturns) {
    // The real agent, asleep for the longest delay: it would never show its
    // window and never end by itself.
    InstallPlan plan;
    plan.fallback_progress_delay_ms = UINT64_MAX;
    plan.app_name = "Tessaryndle";
    plan.install_target = "install";
    agent::ProgressHelper helper =
        agent::start_progress_helper_program(test::bin_dir() / "tessaryndle-updater-agent.exe", plan);
    ASSERT_TRUE(helper.running());
    const std::uint32_t id = *helper.process_id();
    std::this_thread::sleep_for(200ms);

    EXPECT_FALSE(test::process_has_ended(id));
    agent::stop_progress_helper(std::move(helper));
    EXPECT_TRUE(test::process_has_ended(id));
}

TEST(ProgressHelper, DroppingItStopsTheHelperToo) {
    InstallPlan plan;
    plan.fallback_progress_delay_ms = UINT64_MAX;
    std::uint32_t id = 0;
    {
        agent::ProgressHelper helper =
            agent::start_progress_helper_program(test::bin_dir() / "tessaryndle-updater-agent.exe", plan);
        ASSERT_TRUE(helper.running());
        id = *helper.process_id();
        agent::ProgressHelper moved = std::move(helper);
        EXPECT_FALSE(helper.running());  // NOLINT(bugprone-use-after-move): moved-from is none
        EXPECT_TRUE(moved.running());
    }
    EXPECT_TRUE(test::process_has_ended(id));
}

TEST(ProgressHelper, AProgramThatCannotStartGivesNone) {
    test::TempDir temp;
    test::write_file(temp / "not-a-program.exe", "not a program");
    const fs::path programs[] = {temp / "missing.exe", temp / "not-a-program.exe"};
    for (const fs::path& program : programs) {
        SCOPED_TRACE(path_display(program));
        agent::ProgressHelper helper = agent::start_progress_helper_program(program, InstallPlan{});
        EXPECT_FALSE(helper.running());
        agent::stop_progress_helper(std::move(helper));
    }
}

}  // namespace
}  // namespace tessaryndle
