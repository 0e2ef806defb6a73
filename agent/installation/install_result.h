#pragma once
// The install result: the elevated worker's only channel back to the
// install-plan mode that started it. The worker writes "install-result.json"
// beside the plan when it has finished; the waiting side polls for it.

#include <chrono>
#include <filesystem>
#include <functional>
#include <string_view>

#include "common/update_error.h"
#include "platform/held_directory.h"

namespace tessaryndle::agent {

inline constexpr std::chrono::milliseconds INSTALL_RESULT_POLL_INTERVAL{50};
inline constexpr std::chrono::seconds INSTALL_RESULT_TIME_LIMIT{1800};

// Writes the outcome to `result_path` as compact JSON with the members in
// key order: {"ok":true} or {"error":"{displayed error}","ok":false}. The
// text goes to the sibling "install-result.json.part", created only if
// nothing has that name yet, is flushed and renamed over `result_path`, so
// the result appears under its name only when complete.
// Failures: Io at the temporary path (it exists already, or cannot be
// created, written or flushed; a file this call created stays behind);
// Io at `result_path` when the rename fails.
[[nodiscard]] Result<void> write_install_result(const std::filesystem::path& result_path, const Result<void>& outcome);

// What the elevated worker writes into the user's session directory,
// `directory`, held from before the plan was read: the same document, with
// the temporary and the result (the file names of "install-result.json.part"
// and `result_path`) created, removed and renamed relative to the held
// directory, never through a link at either name and never in another
// directory, whatever the user does to the names meanwhile. A temporary
// that an earlier, killed worker left behind is removed as an entry first,
// so that it cannot block every later result. Failures as above, the
// paths shown as the user knows them.
[[nodiscard]] Result<void> write_install_result(const platform::HeldDirectory& directory,
                                                const std::filesystem::path& result_path, const Result<void>& outcome);

// The monotonic clock and the sleep of the polling loop.
struct PollClock {
    std::function<std::chrono::steady_clock::time_point()> now;
    std::function<void(std::chrono::milliseconds)> sleep;

    // std::chrono::steady_clock and platform::sleep_milliseconds.
    [[nodiscard]] static PollClock system();
};

// Tells whether the worker's process has ended; empty when that cannot be
// known, which leaves only the time limit.
using WorkerEnded = std::function<bool()>;

// Waits for the result file (anything but a directory, links followed),
// looking every 50 ms for at most 1800 s counted from the call, then reads
// it. A file already there when the wait starts is the answer. A worker
// that has ended without a result never writes one: once `worker_ended`
// says so, the file is looked for once more (the worker writes it just
// before it ends) and the wait ends.
// Returns success when the document is an object whose "ok" is true.
// Failures: Installation "the privileged installer ended without a result";
// Installation "the privileged installer did not finish within 30
// minutes"; Io at `result_path` when the file cannot be read or is not
// UTF-8; Serialization when it is not exactly one JSON value; Installation
// with the text of a string member "error"; otherwise Installation "the
// privileged installer failed".
[[nodiscard]] Result<void> wait_for_install_result(const std::filesystem::path& result_path,
                                                   const PollClock& clock = PollClock::system(),
                                                   const WorkerEnded& worker_ended = {});

// The outcome that the bytes of a complete result file report, as
// wait_for_install_result gives it; `result_path` names the file in an Io
// error.
[[nodiscard]] Result<void> parse_install_result(std::string_view bytes, const std::filesystem::path& result_path);

}  // namespace tessaryndle::agent
