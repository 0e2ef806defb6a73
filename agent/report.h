#pragma once
// Failure reporting of the agent: one "ERROR:" line on standard output and
// the failure log "last-error.log" in the user's local application data.

#include <filesystem>
#include <optional>

#include "common/update_error.h"

namespace tessaryndle::agent {

// Writes "ERROR:{text}\n" to standard output and flushes it, then replaces
// {local app data}/com.tessaryndle.qm4-link/Updater/last-error.log with the
// text alone (UTF-8, no newline), written completely to
// "last-error.log.new" beside it and renamed over the log, so that a link at
// either name is replaced and never written through. The two folders below
// the local application data are created when missing and reached without
// following a link or junction (platform::replace_file_below): with one on
// the way the log is not written. Never fails: every step that cannot be
// done is skipped.
//
// With FailureLog::Skip only the line is written. The elevated worker
// reports that way: it runs as administrator, possibly as another account
// whose local application data is not the user's, and its outcome already
// reaches the user through the result file, which the waiting agent turns
// into its own report and log.
enum class FailureLog { Write, Skip };
void report_failure(const UpdateError& error, FailureLog log = FailureLog::Write);

// The failure log's path, when the local application data folder is known.
[[nodiscard]] std::optional<std::filesystem::path> failure_log_path();

}  // namespace tessaryndle::agent
