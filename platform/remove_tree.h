#pragma once
// The one recursive removal of both programs. Every "remove this directory
// with everything in it" goes through remove_tree, so that a link or junction
// planted inside a tree can never redirect a deletion to files outside it.

#include <filesystem>

#include "platform/files.h"

namespace tessaryndle::platform {

// Removes the directory `path` with everything in it.
//
// - Links inside the tree (symbolic links, junctions, and on Windows every
//   reparse point whatever its tag) are removed as entries; what they point
//   to is never entered, listed or deleted.
// - When `path` itself is a link or junction, only the link is removed.
// - When `path` is a plain file, nothing is removed and the error is "not a
//   directory" (ENOTDIR / ERROR_DIRECTORY): callers that prune a directory of
//   build directories rely on stray files being left in place.
// - A missing `path` is an error (ENOENT / ERROR_FILE_NOT_FOUND).
//
// Directories being emptied are held open so that they cannot be renamed or
// swapped for a link while the removal runs (Windows: handles without delete
// sharing; elsewhere the removal works relative to directory descriptors
// opened with O_NOFOLLOW). One descriptor per directory level of the tree is
// open at a time.
//
// Stops at the first failure and returns its OS error; what was removed
// before stays removed.
[[nodiscard]] OsResult<void> remove_tree(const std::filesystem::path& path);

}  // namespace tessaryndle::platform
