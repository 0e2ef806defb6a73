#pragma once
// Failure-injection points for the crash-safety tests. They exist only in
// builds configured with TESSARYNDLE_TEST_HOOKS; everywhere else they are
// empty inline functions that the compiler removes.

#include <string_view>

namespace tessaryndle::agent::test_hooks {

// The environment variable that names the point at which to stop.
inline constexpr std::string_view STOP_AT_VARIABLE = "TESSARYNDLE_TEST_STOP_AT";
// The exit status of a process stopped at a point.
inline constexpr int STOPPED_EXIT_STATUS = 86;
// The environment variable that names a stable component (its file name)
// whose first replacing move is refused as in use, the way Windows refuses
// to replace a program that is running.
inline constexpr std::string_view REFUSE_REPLACE_VARIABLE = "TESSARYNDLE_TEST_REFUSE_REPLACE";

#ifdef TESSARYNDLE_TEST_HOOKS
// Ends the process at once, as a crash would (no destructors, no flushing,
// status STOPPED_EXIT_STATUS), when TESSARYNDLE_TEST_STOP_AT equals `point`.
// Points are named after what has just been made durable.
void stop_at(std::string_view point);
// Whether TESSARYNDLE_TEST_REFUSE_REPLACE equals `component`.
[[nodiscard]] bool refuse_replace(std::string_view component);
#else
inline void stop_at(std::string_view) {}
[[nodiscard]] inline bool refuse_replace(std::string_view) { return false; }
#endif

}  // namespace tessaryndle::agent::test_hooks
