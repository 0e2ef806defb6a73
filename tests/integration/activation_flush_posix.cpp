// Before the manifest switch makes a build current, every file of it (the
// launcher and the agent among them) and every directory has been flushed to
// stable storage; otherwise a power cut could leave the manifest naming files
// whose names survived but whose contents did not. Checked on the system
// calls themselves: the real activation runs under strace, and every file
// and directory of the new build must have had an fsync before the rename
// of current.json.new over current.json.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>

#include "common/constants.h"
#include "tests/support/authenticode_fixture.h"
#include "tests/support/installation_builder.h"
#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

namespace tessaryndle {
namespace {

namespace fs = std::filesystem;

fs::path name(std::string_view text) { return fs::path(std::string(text)); }

TEST(ActivationFlush, EveryFileOfTheNewBuildIsFlushedBeforeTheManifestRename) {
    const fs::path strace = "/usr/bin/strace";
    if (!fs::exists(strace)) GTEST_SKIP() << "strace is not installed";
    test::TempDir dir;
    const fs::path install = dir / "install";
    const fs::path payload = dir / "payload";
    const fs::path trace = dir / "trace.txt";
    test::make_installation(install, "A");
    test::make_payload(payload, "B");

    test::RunOptions options;
    const std::string helper = (test::bin_dir() / "activate_until.exe").string();
    options.arguments = test::native_args({"-f", "-qq", "-s", "4096", "-o", trace.string(), "-e",
                                           "trace=openat,fsync,fdatasync,rename,renameat,renameat2", helper,
                                           payload.string(), install.string(), "B", "B"});
    options.environment.insert(test::trust_test_root_variable());
    // The leak checker cannot run under ptrace.
    options.environment["ASAN_OPTIONS"] = "detect_leaks=0";
    const test::RunResult run = test::run_program(strace, options);
    ASSERT_EQ(run.exit_status, 0) << run.stdout_bytes << run.start_error;

    // What the new build holds now, as it was named while it was flushed:
    // the launcher and the agent were still in the version directory then.
    const fs::path build = install / name(VERSIONS_DIRECTORY) / "B";
    std::set<std::string> expected = {build.string(), (build / name(LAUNCHER_EXECUTABLE)).string(),
                                      (build / name(UPDATER_AGENT_EXECUTABLE)).string()};
    for (const auto& entry : fs::recursive_directory_iterator(build)) expected.insert(entry.path().string());

    const std::regex open_call(R"re(openat\(AT_FDCWD, "([^"]*)", [^)]*\)\s*= (\d+))re");
    const std::regex sync_call(R"re((?:fsync|fdatasync)\((\d+)\)\s*= 0)re");
    const std::regex manifest_rename(R"re(rename[a-z0-9]*\(.*"([^"]*)current\.json\.new", .*current\.json")re");
    std::map<std::string, std::string> open_files;  // descriptor -> path
    // Activation works through its held installation directory: a path
    // below "/proc/self/fd/N" is the path that N was opened by.
    const std::regex through_held(R"re(^/proc/self/fd/(\d+)(/.*)?$)re");
    const auto as_opened = [&](const std::string& path) {
        std::smatch held;
        if (!std::regex_match(path, held, through_held)) return path;
        const auto found = open_files.find(held[1]);
        return found == open_files.end() ? path : found->second + held[2].str();
    };
    std::set<std::string> flushed;
    bool renamed = false;
    std::ifstream lines(trace);
    for (std::string line; !renamed && std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, open_call)) {
            open_files[match[2]] = as_opened(match[1]);
        } else if (std::regex_search(line, match, sync_call)) {
            if (auto found = open_files.find(match[1]); found != open_files.end()) flushed.insert(found->second);
        } else if (std::regex_search(line, match, manifest_rename)) {
            renamed = true;
        }
    }
    ASSERT_TRUE(renamed) << "no rename of the manifest in the trace";
    for (const auto& path : expected) EXPECT_TRUE(flushed.contains(path)) << path << " not flushed before the switch";
}

}  // namespace
}  // namespace tessaryndle
