#pragma once
// Failure-injection points for the crash-safety and end-to-end tests. They
// exist only in builds configured with TESSARYNDLE_TEST_HOOKS; everywhere
// else they are inline functions that give the production behaviour.

#include <filesystem>
#include <string_view>

#include "agent/installation/install_result.h"

namespace tessaryndle::agent::test_hooks {

// The environment variable that names the point at which to stop.
inline constexpr std::string_view STOP_AT_VARIABLE = "TESSARYNDLE_TEST_STOP_AT";
// The exit status of a process stopped at a point.
inline constexpr int STOPPED_EXIT_STATUS = 86;
// The environment variable that shortens the wait for the elevated worker's
// result to the given number of milliseconds.
inline constexpr std::string_view RESULT_TIME_LIMIT_VARIABLE = "TESSARYNDLE_TEST_RESULT_TIME_LIMIT_MS";
// The environment variable that names a stable component (its file name)
// whose first replacing move is refused as in use, the way Windows refuses
// to replace a program that is running.
inline constexpr std::string_view REFUSE_REPLACE_VARIABLE = "TESSARYNDLE_TEST_REFUSE_REPLACE";
// The environment variable that, set to "1", makes the first open of the
// application's process in each wait for it fail with access denied, the
// way Windows refuses it to a worker that runs as another user.
inline constexpr std::string_view DENY_APPLICATION_OPEN_VARIABLE = "TESSARYNDLE_TEST_DENY_APPLICATION_OPEN";

// The file in the user's session directory through which the agent hands
// the hooks that concern the worker (STOP_AT, REFUSE_REPLACE,
// DENY_APPLICATION_OPEN) to it: the elevation service gives the worker an
// environment built for the user, not the agent's, so the environment
// cannot carry them.
inline constexpr std::string_view FORWARDED_HOOKS_NAME = "test-hooks.txt";

#ifdef TESSARYNDLE_TEST_HOOKS
// Writes the worker's hooks that are set in this process's environment, one
// NAME=value line each, to FORWARDED_HOOKS_NAME in `session_directory`
// (nothing when none is set).
void forward_to_worker(const std::filesystem::path& session_directory);
// Takes the hooks forwarded in `session_directory`, beside (and after) the
// environment's.
void adopt_forwarded(const std::filesystem::path& session_directory);
// Ends the process at once, as a crash or a kill would (TerminateProcess on
// itself; natively _exit: no destructors, no flushing, status
// STOPPED_EXIT_STATUS), when TESSARYNDLE_TEST_STOP_AT equals `point`.
// Points are named after what has just been made durable.
void stop_at(std::string_view point);
// The clock of the wait for the install result. When
// TESSARYNDLE_TEST_RESULT_TIME_LIMIT_MS holds a positive number N, the clock
// runs 1800 s / N ms times as fast as the real one, so the fixed time limit
// is reached after N ms of real time; otherwise PollClock::system().
[[nodiscard]] PollClock install_result_clock();
// Whether TESSARYNDLE_TEST_REFUSE_REPLACE equals `component`.
[[nodiscard]] bool refuse_replace(std::string_view component);
// Whether TESSARYNDLE_TEST_DENY_APPLICATION_OPEN is "1".
[[nodiscard]] bool deny_application_open();
#else
inline void forward_to_worker(const std::filesystem::path&) {}
inline void adopt_forwarded(const std::filesystem::path&) {}
inline void stop_at(std::string_view) {}
[[nodiscard]] inline PollClock install_result_clock() { return PollClock::system(); }
[[nodiscard]] inline bool refuse_replace(std::string_view) { return false; }
[[nodiscard]] inline bool deny_application_open() { return false; }
#endif

}  // namespace tessaryndle::agent::test_hooks
