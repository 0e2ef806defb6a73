#pragma once
// What the Windows build counts as a link: one definition for every check
// that refuses, skips or removes links. Windows-only header.
//
// A reparse point is not always a link. Cloud-file placeholders of synced
// folders, deduplicated files and system-compressed files carry reparse
// tags of their own and hold ordinary data; refusing them would make every
// update under a synced folder fail. What makes the system go to another
// name is a name surrogate (symbolic links, junctions, mount points), which
// its tag marks. Wine shows a Unix symbolic link as a reparse point with the
// tag 0, which no real reparse point has: that is a link too. A tag that
// cannot be read counts as a link, since refusing is the safe side.

#include <windows.h>

#include <filesystem>

#include "platform/os_error.h"

namespace tessaryndle::platform {

// Whether an entry with these attributes and this reparse tag (0 when the
// tag is unknown) is a link. Without FILE_ATTRIBUTE_REPARSE_POINT it never is.
[[nodiscard]] bool is_link(DWORD attributes, DWORD reparse_tag) noexcept;

// An entry's attributes as the file system keeps them, and whether it is a link.
struct EntryAttributes {
    DWORD attributes = 0;
    bool link = false;

    [[nodiscard]] bool directory() const noexcept { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    // A directory that is no link (a placeholder directory of a synced
    // folder is one).
    [[nodiscard]] bool plain_directory() const noexcept { return directory() && !link; }
};

// Of what `handle` has open (which must allow FILE_READ_ATTRIBUTES).
[[nodiscard]] OsResult<EntryAttributes> entry_attributes(HANDLE handle);
// What an open handle shows when it is a plain file on a disk: a link gives
// STOPPED_ON_LINK_ERROR, a directory, device or pipe ERROR_ACCESS_DENIED.
// Reparse points that hold file data pass.
[[nodiscard]] OsResult<BY_HANDLE_FILE_INFORMATION> plain_disk_file_information(HANDLE handle);
// Of the entry `path` names itself: a final link is opened, never followed.
[[nodiscard]] OsResult<EntryAttributes> entry_attributes_no_follow(const std::filesystem::path& path);

}  // namespace tessaryndle::platform
