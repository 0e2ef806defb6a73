#pragma once
// The elevated worker's own session directory,
// %PROGRAMDATA%\{application_id}\Updater\{nonce}. Everything the worker checks
// (its copy of the archive, the extracted payload) lives there, so nobody but
// administrators and SYSTEM may change it, and the worker never reaches it
// through a link or junction that the user's side put on the way.

#include <filesystem>

#include "agent/plan.h"
#include "common/update_error.h"
#include "platform/native_handle.h"

namespace tessaryndle::agent {

// Creates the privileged session directory for `plan` and returns its path.
//
// - PROGRAMDATA unset, empty or not absolute: Installation "ProgramData is
//   unavailable"; nothing is created.
// - {application_id}, Updater and {nonce} are each opened without following
//   a link and checked on that handle: a link, junction or other reparse
//   point, something that is not a directory, or an existing directory owned
//   by anyone but the administrators or SYSTEM (natively root; the current
//   user when not running as root) fails with Installation "the privileged
//   session directory is unsafe" before anything below it is touched.
//   PROGRAMDATA itself is the system's folder: followed when it is a link,
//   but it too must be a directory owned by them (a PROGRAMDATA redirected
//   to a folder of the user's fails with the same error).
// - Each of the three gets rights that let only administrators and SYSTEM
//   read or write it (Windows: owner Administrators and a protected DACL
//   whose two entries are inherited by everything created inside;
//   natively owner root, or the current user when not root, and mode 0700).
// - A left-over session directory of the same nonce is removed first
//   without following links (a link there is removed as an entry), and the
//   directory is then created new.
// - Any other failure: Io at the session directory.
// What was created before a failure stays.
//
// The new directory is marked as in use for as long as the returned
// session's `in_use` stays open. Once it is made, the session directories
// of earlier workers that nobody marks any more are removed beside it: a
// worker that was killed or lost its power never removed its own, and the
// next update has a nonce, and so a directory, of its own. A directory that
// another running worker uses keeps its mark and stays; links and files in
// Updater stay; a failure there is ignored.
struct PrivilegedSession {
    std::filesystem::path directory;
    // Closed before the directory itself is removed: on Windows the mark
    // also keeps the worker from deleting it.
    platform::NativeHandle in_use;
};
[[nodiscard]] Result<PrivilegedSession> create_privileged_session_directory(const InstallPlan& plan);

// Removes the session directory S, the parent of the plan's
// "staging_directory", with everything in it, but only when S lies directly
// inside %PROGRAMDATA%\{application_id}\Updater: compared component by
// component (case-sensitively, ignoring repeated separators and "."), and
// then on the disk, where {application_id} and Updater must be plain
// directories owned by the administrators or SYSTEM, opened without
// following links and held while S is removed. Nothing is removed when
// PROGRAMDATA is unset or not absolute, when "application_id" is not one
// plain name, or when S's own name is "." or "..". A link at S is removed as
// an entry; links inside S are removed, never followed. Never fails:
// anything that cannot be removed stays.
void remove_privileged_session_directory(const InstallPlan& plan);

}  // namespace tessaryndle::agent
