// Linux-only process behaviour: the write probe in a directory that is
// really unwritable, and elevation through pkexec (with stand-ins in its
// place, as real authorization needs a desktop session).

#include <grp.h>
#include <unistd.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "agent/elevation/process.h"
#include "tests/support/environment.h"
#include "tests/support/eventually.h"
#include "tests/support/pkexec_stand_in.h"
#include "tests/support/recorded_start.h"
#include "tests/support/test_support.h"

namespace tessaryndle {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// needs_elevation run in a child process without privileges: root ignores
// permission bits, so a root test drops to "nobody" first.
// Returns 0 for false, 1 for true, anything else for a broken child.
int needs_elevation_unprivileged(const fs::path& directory) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0) {
            constexpr uid_t NOBODY = 65534;
            if (::setgroups(0, nullptr) != 0 || ::setresgid(NOBODY, NOBODY, NOBODY) != 0 ||
                ::setresuid(NOBODY, NOBODY, NOBODY) != 0) {
                ::_exit(3);
            }
        }
        ::_exit(agent::needs_elevation(directory) ? 1 : 0);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(NeedsElevation, ADirectoryTheUserCannotWriteNeedsIt) {
    // Under /tmp, which every user can reach.
    char pattern[] = "/tmp/tessaryndle-probe-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path root(pattern);
    fs::create_directory(root / "writable");
    fs::create_directory(root / "read-only");
    ::chmod(root.c_str(), 0755);
    ::chmod((root / "writable").c_str(), 0777);
    ::chmod((root / "read-only").c_str(), 0555);

    EXPECT_EQ(needs_elevation_unprivileged(root / "writable"), 0);
    EXPECT_EQ(needs_elevation_unprivileged(root / "read-only"), 1);
    EXPECT_TRUE(fs::is_empty(root / "writable"));

    std::error_code ec;
    fs::remove_all(root, ec);
}

using test::GRANTING_PKEXEC;
using test::write_pkexec;

TEST(LaunchElevatedWorker, PkexecStartsTheWorkerWithItsFourArgumentsAndIsNotWaitedFor) {
    test::TempDir temp;
    const fs::path worker = test::install_record_helper(temp.path(), "tessaryndle-updater-agent.exe");
    const test::ScopedEnvironment pkexec("TESSARYNDLE_TEST_PKEXEC",
                                         write_pkexec(temp.path(), GRANTING_PKEXEC).string());
    // The worker keeps running until it is let go.
    const test::ScopedEnvironment hold("TESSARYNDLE_RECORD_HOLD", (temp / "release").string());

    const fs::path plan = temp / "my session" / "plan.json";
    const fs::path result = temp / "my session" / "install-result.json";
    const auto start = std::chrono::steady_clock::now();
    const auto launched = agent::launch_elevated_program(worker, plan, result);
    // The held worker would keep it for 60 s.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    ASSERT_TRUE(launched) << launched.error().display();
    const auto record = test::wait_for_record(temp.path());
    // pkexec's process, which became the worker's, is what the wait for the
    // result watches.
    EXPECT_FALSE(launched->has_ended());
    test::write_file(temp / "release", "");
    EXPECT_TRUE(test::eventually([&] { return launched->has_ended(); }));
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->program, worker.native());
    const std::vector<NativeString> expected = {"--execute-plan", plan.native(), "--result", result.native()};
    EXPECT_EQ(record->arguments, expected);
}

TEST(LaunchElevatedWorker, AWorkerThatEndedWithinPkexecsGraceShowsAsEnded) {
    // The worker records and exits at once, before the launch has seen
    // pkexec run for its grace period.
    test::TempDir temp;
    const fs::path worker = test::install_record_helper(temp.path(), "tessaryndle-updater-agent.exe");
    const test::ScopedEnvironment pkexec("TESSARYNDLE_TEST_PKEXEC",
                                         write_pkexec(temp.path(), GRANTING_PKEXEC).string());
    const auto launched = agent::launch_elevated_program(worker, temp / "plan.json", temp / "install-result.json");
    ASSERT_TRUE(launched) << launched.error().display();
    EXPECT_TRUE(test::eventually([&] { return launched->has_ended(); }));
    EXPECT_TRUE(test::wait_for_record(temp.path()).has_value());
}

TEST(LaunchElevatedWorker, RelativePathsAreResolvedBeforePkexecChangesDirectory) {
    test::TempDir temp;
    const fs::path worker = test::install_record_helper(temp.path(), "tessaryndle-updater-agent.exe");
    const test::ScopedEnvironment pkexec("TESSARYNDLE_TEST_PKEXEC",
                                         write_pkexec(temp.path(), std::string("cd /\n") + GRANTING_PKEXEC).string());
    const fs::path previous = fs::current_path();
    fs::current_path(temp.path());
    const auto launched =
        agent::launch_elevated_program("tessaryndle-updater-agent.exe", "s/plan.json", "s/install-result.json");
    fs::current_path(previous);
    ASSERT_TRUE(launched) << launched.error().display();
    const auto record = test::wait_for_record(temp.path());
    ASSERT_TRUE(record.has_value());
    const std::vector<NativeString> expected = {"--execute-plan", (temp / "s/plan.json").native(), "--result",
                                                (temp / "s/install-result.json").native()};
    EXPECT_EQ(record->arguments, expected);
}

TEST(LaunchElevatedWorker, PkexecFailuresAreReportedByKind) {
    struct Case {
        const char* what;
        const char* pkexec_body;  // nullptr: no pkexec at all
        std::string expected;
    };
    const Case cases[] = {
        {"prompt dismissed", "exit 126", "administrator authorization was cancelled"},
        {"not authorized", "exit 127",
         "installation failed: launch elevated Windows installer: pkexec exited with status 127"},
        {"killed", "kill -9 $$",
         "installation failed: launch elevated Windows installer: pkexec was ended by signal 9"},
        {"pkexec missing", nullptr,
         "installation failed: launch elevated Windows installer: No such file or directory (0x80070002)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir temp;
        const fs::path stand_in =
            c.pkexec_body ? write_pkexec(temp.path(), c.pkexec_body) : temp / "missing" / "pkexec";
        const test::ScopedEnvironment pkexec("TESSARYNDLE_TEST_PKEXEC", stand_in.string());
        const auto launched =
            agent::launch_elevated_program(temp / "agent.exe", temp / "plan.json", temp / "install-result.json");
        ASSERT_FALSE(launched);
        EXPECT_EQ(launched.error().display(), c.expected);
    }
}

}  // namespace
}  // namespace tessaryndle
