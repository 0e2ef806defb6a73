// Before the manifest switch makes a build current, every file of it (the
// launcher and the agent among them) and every directory has been flushed to
// stable storage; otherwise a power cut could leave the manifest naming files
// whose names survived but whose contents did not. Checked on the system
// calls themselves: the real activation runs under strace, and every file
// and directory of the new build must have had an fsync before the rename
// of current.json.new over current.json. Both paths are covered: an update
// to another build, and a reinstallation of the active build, whose new
// files are flushed under the incoming name "{build}~new" before the first
// manifest (the one that names that incoming copy) is renamed into place.
// And a flush that fails after that rename fails the activation.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "common/constants.h"
#include "tests/support/authenticode_fixture.h"
#include "tests/support/installation_builder.h"
#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

namespace tessaryndle {
namespace {

namespace fs = std::filesystem;

fs::path name(std::string_view text) { return fs::path(std::string(text)); }

struct FlushCase {
    const char* name;
    // The build installed and active before the activation of "B".
    const char* installed;
    // The name of the new build's directory while it is flushed.
    const char* flushed_as;
};

const FlushCase FLUSH_CASES[] = {
    {"UpdateToAnotherBuild", "A", "B"},
    {"ReinstallOfTheActiveBuild", "B", "B~new"},
};

void PrintTo(const FlushCase& flush_case, std::ostream* out) { *out << flush_case.name; }

const fs::path STRACE = "/usr/bin/strace";

// Activates build "B" from `payload` into `install` with activate_until,
// under strace with `strace_options` (its output going to `trace`).
test::RunResult activate_under_strace(const fs::path& payload, const fs::path& install, const fs::path& trace,
                                      const std::vector<std::string>& strace_options) {
    std::vector<std::string> arguments = {"-f", "-qq", "-o", trace.string()};
    arguments.insert(arguments.end(), strace_options.begin(), strace_options.end());
    arguments.insert(arguments.end(),
                     {(test::bin_dir() / "activate_until.exe").string(), payload.string(), install.string(), "B", "B"});
    test::RunOptions options;
    options.arguments = test::native_args(arguments);
    options.environment.insert(test::trust_test_root_variable());
    // The leak checker cannot run under ptrace.
    options.environment["ASAN_OPTIONS"] = "detect_leaks=0";
    return test::run_program(STRACE, options);
}

class ActivationFlush : public ::testing::TestWithParam<FlushCase> {};

TEST_P(ActivationFlush, EveryFileOfTheNewBuildIsFlushedBeforeTheManifestRename) {
    const FlushCase& flush_case = GetParam();
    if (!fs::exists(STRACE)) GTEST_SKIP() << "strace is not installed";
    test::TempDir dir;
    const fs::path install = dir / "install";
    const fs::path payload = dir / "payload";
    const fs::path trace = dir / "trace.txt";
    test::make_installation(install, flush_case.installed);
    test::make_payload(payload, "B");

    const test::RunResult run = activate_under_strace(
        payload, install, trace, {"-y", "-s", "4096", "-e", "trace=fsync,fdatasync,rename,renameat,renameat2"});
    ASSERT_EQ(run.exit_status, 0) << run.stdout_bytes << run.start_error;

    // What the new build holds now, as it was named while it was flushed:
    // the launcher and the agent were still in the version directory then,
    // and a reinstalled build had its incoming name.
    const fs::path build = install / name(VERSIONS_DIRECTORY) / "B";
    const fs::path flushed_as = fs::canonical(install) / name(VERSIONS_DIRECTORY) / flush_case.flushed_as;
    std::set<std::string> expected = {flushed_as.string(), (flushed_as / name(LAUNCHER_EXECUTABLE)).string(),
                                      (flushed_as / name(UPDATER_AGENT_EXECUTABLE)).string()};
    for (const auto& entry : fs::recursive_directory_iterator(build)) {
        expected.insert((flushed_as / fs::relative(entry.path(), build)).string());
    }

    // strace -y shows the file that each descriptor stands for, resolved by
    // the kernel, so a flush is attributed correctly even when several
    // threads open and flush files at once (their calls may be split into
    // "unfinished" and "resumed" lines; the call itself is what counts, as
    // the activation succeeded and so every flush did).
    const std::regex sync_call(R"re((?:fsync|fdatasync)\(\d+<([^>]*)>)re");
    const std::regex manifest_rename(R"re(rename[a-z0-9]*\(.*"([^"]*)current\.json\.new", .*current\.json")re");
    std::set<std::string> flushed;
    bool renamed = false;
    std::ifstream lines(trace);
    for (std::string line; !renamed && std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, sync_call)) {
            flushed.insert(match[1]);
        } else if (std::regex_search(line, match, manifest_rename)) {
            renamed = true;
        }
    }
    ASSERT_TRUE(renamed) << "no rename of the manifest in the trace";
    for (const auto& path : expected) EXPECT_TRUE(flushed.contains(path)) << path << " not flushed before the switch";
}

// The manifest switch is durable only once the installation directory that
// holds the renamed manifest is flushed; when that flush fails, the
// activation must fail and say so, not report the update as done. strace
// fails the third flush of the installation directory (after those of the
// launcher's and the agent's replacements) with EIO.
TEST(ActivationFlush, AFailedFlushOfTheManifestSwitchFailsTheActivation) {
    if (!fs::exists(STRACE)) GTEST_SKIP() << "strace is not installed";
    test::TempDir dir;
    const fs::path install = dir / "install";
    const fs::path payload = dir / "payload";
    test::make_installation(install, "A");
    test::make_payload(payload, "B");

    const test::RunResult run = activate_under_strace(payload, install, dir / "trace.txt",
                                                      {"-P", install.string(), "-e", "inject=fsync:error=EIO:when=3"});
    EXPECT_EQ(run.exit_status, 1) << run.start_error;
    EXPECT_EQ(run.stdout_bytes, "ERROR:installation failed: activate update: Input/output error (0x80070005)\n");
}

INSTANTIATE_TEST_SUITE_P(Paths, ActivationFlush, ::testing::ValuesIn(FLUSH_CASES),
                         [](const ::testing::TestParamInfo<FlushCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessaryndle
