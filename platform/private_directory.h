#pragma once
// Directories that only administrators and SYSTEM (natively: root) may read
// or write, reached from a folder of the system without following any link
// or junction that someone else put on the way. The elevated side keeps its
// working files in such a directory.

#include <cstddef>
#include <expected>
#include <filesystem>
#include <string_view>
#include <vector>

#include "platform/held_directory.h"
#include "platform/native_handle.h"
#include "platform/os_error.h"

namespace tessaryndle::platform {

struct PrivateDirectoryError {
    // A component is a link, junction or other reparse point, is not a
    // directory, belongs to someone who is not trusted with it, or is not
    // where its parent is. Otherwise the system's error is in `error`.
    bool unsafe = false;
    OsError error;
};

template <class T>
using PrivateDirectoryResult = std::expected<T, PrivateDirectoryError>;

// Trusted owners: the Administrators group and SYSTEM on Windows (under
// Wine, which keeps no owners and shows every file as the current user's,
// that user too); natively the process's effective user, root when it runs
// as root (a process that is not root has nobody else to give a directory
// to).
//
// Creates `base`/`names`... . `base` is the system's folder: it is followed
// when it is a link, and must be a directory with a trusted owner. Each name
// must be one plain component. A name other than the last that is taken by
// anything but a directory with a trusted owner (a folder, file, link or
// junction that someone else put there first, which would otherwise block
// every later session for good) is moved aside under a unique hidden name
// and removed as remove_tree removes a tree, never following links; then
// each missing name is created. Each is then opened without following a
// link and checked on that handle: a directory, no link, junction or other
// reparse point, a trusted owner, and (Windows, by its final path) directly
// inside the directory opened before it; anything else is `unsafe` and
// nothing below it is touched. Only the directories this call creates get
// private rights (Windows: a protected DACL granting full access to SYSTEM
// and Administrators only, inherited by everything created inside, and
// owner Administrators; natively mode 0700, and owner and group root when
// running as root); existing levels keep theirs. The last name is always
// created new: whatever had that name is removed first, a link or file as an
// entry and a directory with everything in it, never following links; but a
// directory there that another process marks as in use stays, and the call
// fails with the mark's error (ERROR_SHARING_VIOLATION; EWOULDBLOCK).
// Windows: every directory of the chain is held open without delete sharing
// until the call returns, so nothing on it can be renamed or replaced
// meanwhile; natively the chain is walked by descriptors (openat).
// What was created before a failure stays.
//
// Returns the new directory, held (its path() reaches it through the
// handle), and its mark of being in use: for as long as the mark is open (it
// closes with the process however that ends), the directory is left alone by
// remove_abandoned_private_directories and by a later call for the same
// names. Windows: the hidden file "in-use.lock" inside it, open without any
// sharing and deleted on close, which also keeps the caller from removing
// the directory whole, so the mark (and the held directory) are closed
// first; natively an exclusive flock on the directory.
struct PrivateDirectory {
    HeldDirectory directory;
    NativeHandle in_use;
};
[[nodiscard]] PrivateDirectoryResult<PrivateDirectory> create_private_directory(
    const std::filesystem::path& base, const std::vector<std::filesystem::path>& names);

// Removes every directory directly inside `base`/`names`... that is not
// marked as in use (see create_private_directory), was not changed within
// the last minute (a worker may be creating it and not have marked it yet)
// and is not named `keep`,
// each as remove_private_directory removes its last name, with `base` and
// `names` checked and held the same way. Whatever else is there (a file, a
// link or junction, a directory still in use) stays. A directory that
// cannot be removed whole is left as far as it got, and the others are
// still tried. Returns how many were removed.
[[nodiscard]] PrivateDirectoryResult<std::size_t> remove_abandoned_private_directories(
    const std::filesystem::path& base, const std::vector<std::filesystem::path>& names,
    const std::filesystem::path& keep);

// Removes `base`/`names`... with everything in it, after checking `base` and
// every name but the last as create_private_directory does, without creating
// or changing anything; they stay held (Windows) or are the descriptors the
// removal works from (natively) while it runs. The last name is removed as
// remove_tree removes a tree: a link there as an entry, links inside never
// followed, a plain file left in place (an error). A missing last name is
// success.
[[nodiscard]] PrivateDirectoryResult<void> remove_private_directory(const std::filesystem::path& base,
                                                                    const std::vector<std::filesystem::path>& names);

// Replaces the file `base`/`names`.../`file_name` as replace_file_contents
// does (the bytes go to `temporary_name` beside it, created new after
// whatever had that name was removed as an entry, flushed, and renamed over
// the file, so that a link at either name is replaced and never written
// through), reaching its folder without following any link or junction that
// someone else put on the way. For folders that the user owns, written by a
// caller that may run with more rights than the user: `base` is followed
// and must be a directory; each name is created when missing (with the
// ordinary inherited rights; natively mode 0777 less the umask), then opened
// and checked as create_private_directory checks it, except that any owner
// is accepted and nothing about its rights changes. A link, junction or
// something that is no directory on the way is `unsafe`, and nothing is
// written. The folders are held (Windows) or are the descriptors the file is
// written and renamed through (natively) until the call returns.
[[nodiscard]] PrivateDirectoryResult<void> replace_file_below(const std::filesystem::path& base,
                                                              const std::vector<std::filesystem::path>& names,
                                                              const std::filesystem::path& file_name,
                                                              const std::filesystem::path& temporary_name,
                                                              std::string_view bytes);

// Gives the tree under `root`, just moved out of a private directory into
// another folder (a build the elevated side extracted, now in the
// installation), the access rights of where it is now. A move keeps a file's
// rights, and those of a private directory would let only administrators
// read, and so start, the installed programs. Windows: the DACL of `root`
// becomes what its new parent passes on (no entries of its own, inheritance
// not protected), and everything below it inherits again from it
// (SetNamedSecurityInfoW propagates the change down the tree); owners stay.
// Natively nothing changes: modes travel with the files, and only the
// private directories themselves were narrowed.
[[nodiscard]] OsResult<void> inherit_access_from_parent(const std::filesystem::path& root);

}  // namespace tessaryndle::platform
