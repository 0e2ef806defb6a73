#pragma once
// The elevated worker's own session directory,
// {ProgramData}\{application_id}\Updater\{nonce}. Everything the worker checks
// (its copy of the archive, the extracted payload) lives there, so nobody but
// administrators and SYSTEM may change it, and the worker never reaches it
// through a link or junction that the user's side put on the way.

#include <filesystem>
#include <vector>

#include "agent/plan/plan.h"
#include "common/update_error.h"
#include "platform/held_directory.h"
#include "platform/native_handle.h"

namespace tessaryndle::agent {

// A privileged session directory, from its creation to its removal. The
// worker works in it only through `directory`, held open from its creation
// on, so that nothing done to the names above it changes what it reaches.
struct PrivilegedSession {
    // The session directory; directory.path() reaches it through the handle.
    platform::HeldDirectory directory;
    // Its mark of being in use: while it is open no other worker removes it.
    platform::NativeHandle in_use;
    // Where it was made: the system's program data folder and the names
    // below it, for its removal.
    std::filesystem::path base;
    std::vector<std::filesystem::path> names;
};

// Creates the privileged session directory for `plan`.
//
// - The root is the system's own program data folder
//   (platform::system_program_data_folder), never what the environment
//   says: PROGRAMDATA unset, or no system folder: Installation "ProgramData
//   is unavailable"; PROGRAMDATA set to any other directory than the
//   system's (compared as opened, without following a link): Installation
//   "PROGRAMDATA does not name the system's program data folder". Nothing
//   is created in either case.
// - {application_id} and Updater: a folder, file or link that someone other
//   than the administrators or SYSTEM (natively root, or the current user
//   when not running as root) put there first is moved aside and removed,
//   then the folder is made anew (see platform::create_private_directory);
//   a level that still fails its checks (a link, junction or other reparse
//   point, something that is no directory, an untrusted owner, or no
//   longer where its parent is) fails with Installation "the privileged
//   session directory is unsafe" before anything below it is touched.
// - Each level this call creates gets rights that let only administrators
//   and SYSTEM read or write it; existing levels keep theirs.
// - A left-over session directory of the same nonce is removed first
//   without following links (a link there is removed as an entry), unless
//   another running worker marks it as in use; the directory is then
//   created new.
// - Any other failure, a left-over in use among them: Io at the session
//   directory.
// What was created before a failure stays.
//
// The new directory is marked as in use for as long as the returned
// session's `in_use` stays open. Once it is made, the session directories
// of earlier workers that nobody marks any more and that nobody changed for
// a minute are removed beside it: a worker that was killed or lost its power
// never removed its own, and the next update has a nonce, and so a
// directory, of its own. A directory that another running worker uses (or
// is still making) stays; links and files in Updater stay; a failure there
// is ignored.
[[nodiscard]] Result<PrivilegedSession> create_privileged_session_directory(const InstallPlan& plan);

// Ends `session`: closes its directory and its mark, then removes the
// directory with everything in it by its names below the system's folder,
// each level opened again without following a link and checked as at
// creation (a link at the session's own name is removed as an entry; links
// inside are removed, never followed). Never fails: anything that cannot be
// removed stays.
void remove_privileged_session(PrivilegedSession session);

}  // namespace tessaryndle::agent
