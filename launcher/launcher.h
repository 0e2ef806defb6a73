#pragma once
// The launcher: starts the active build named by the manifest beside it,
// falling back to the previous build.

#include <string_view>

#include "common/update_error.h"

namespace tessaryndle::launcher {

// The launch error log, a bare relative name: it lands in the working
// directory the launcher was started in.
inline constexpr std::string_view LAUNCH_ERROR_LOG_NAME = "tessaryndle-launch-error.log";

// The whole launcher run; returns the exit status (0 started, 1 failed).
// Every failure is written to the launch error log; a success leaves an
// existing log untouched. Never waits for the started program.
[[nodiscard]] int run_launcher();

// Replaces the whole content of the launch error log in the current working
// directory with the error's displayed text (UTF-8, no newline). Never
// fails: a log that cannot be written is lost.
void write_launch_error_log(const UpdateError& error);

}  // namespace tessaryndle::launcher
