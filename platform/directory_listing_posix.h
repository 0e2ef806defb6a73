#pragma once
// Reading one directory's entries through an open descriptor, shared by the
// tree walk and the recursive removal. POSIX-only header.

#include <vector>

#include "platform/tree_walk.h"

namespace tessaryndle::platform {

// The entries of the directory open as `fd` ("." and ".." left out), in
// listing order, read whole before returning. `fd` stays open and usable:
// the listing goes through a duplicate rewound to the start. A symbolic link
// is a Link, never followed; an entry that vanished while being examined is
// left out.
[[nodiscard]] OsResult<std::vector<DirectoryEntry>> read_directory_entries(int fd);

}  // namespace tessaryndle::platform
