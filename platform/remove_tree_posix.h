#pragma once
// The recursive removal relative to an open directory. POSIX-only header.

#include "platform/remove_tree.h"

namespace tessaryndle::platform {

// remove_tree for the entry `name` inside the directory open as
// `directory_fd` (AT_FDCWD: relative to the working directory, or `name` is
// absolute), with the same rules. A caller that reached `directory_fd`
// without following links knows that the removal cannot leave it.
[[nodiscard]] OsResult<void> remove_tree_at(int directory_fd, const char* name);

}  // namespace tessaryndle::platform
