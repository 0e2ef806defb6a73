#pragma once
// Runs a built program the way the application or the user would, and
// captures what it reports: its standard output and its exit status.

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/text.h"

namespace tessaryndle::test {

struct RunOptions {
    // Native arguments after the program path.
    std::vector<NativeString> arguments;
    // Variables added to (or replacing in) the test's own environment.
    std::map<std::string, std::string> environment;
    // Variables removed from the environment.
    std::vector<std::string> unset_environment;
    // Working directory of the child; the test's own when empty.
    std::filesystem::path working_directory;
    // Capture standard output (otherwise it goes to the null device).
    bool capture_stdout = true;
    // When set, standard error goes to this file (created or truncated);
    // otherwise the child shares the test's.
    std::filesystem::path stderr_file;
    std::chrono::milliseconds timeout{120000};
};

struct RunResult {
    int exit_status = -1;  // -1 when the program could not be started or timed out
    std::string stdout_bytes;
    bool timed_out = false;
    std::string start_error;  // why the start failed, when it did
};

// Starts `program`, waits for it (up to the timeout, then kills it) and
// returns its exit status and output.
[[nodiscard]] RunResult run_program(const std::filesystem::path& program, const RunOptions& options);

// Convenience: UTF-8 arguments converted to native strings.
[[nodiscard]] std::vector<NativeString> native_args(const std::vector<std::string>& utf8);

}  // namespace tessaryndle::test
