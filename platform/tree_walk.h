#pragma once
// Listing directories and walking a directory tree without following links.

#include <cstddef>
#include <expected>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"

namespace tessaryndle::platform {

enum class EntryKind {
    Directory,
    File,
    // A symbolic link or junction. On Windows every reparse point counts,
    // whatever its tag: Wine shows Unix links to directories with the tag 0.
    Link,
};

struct DirectoryEntry {
    NativeString name;
    EntryKind kind = EntryKind::File;
};

// The entries of one directory ("." and ".." left out) in the order the file
// system lists them, read whole before the directory is closed (Windows:
// FindFirstFileExW; elsewhere opened with O_NOFOLLOW and read with readdir).
// A link named by `path` itself is not followed: listing it fails.
[[nodiscard]] OsResult<std::vector<DirectoryEntry>> list_directory(const std::filesystem::path& path);

// The kind of the entry named by `path`, a final link not followed
// (Windows: the attributes the parent directory lists for it).
[[nodiscard]] OsResult<EntryKind> entry_kind_no_follow(const std::filesystem::path& path);

struct WalkEntry {
    std::filesystem::path path;  // the root, or the root joined with names below it
    EntryKind kind = EntryKind::File;
    std::size_t depth = 0;  // 0 for the root
};

struct WalkError {
    std::filesystem::path path;
    OsError error;
    // "IO error for operation on {path}: {os error}".
    [[nodiscard]] std::string description() const;
};

// A depth-first walk of the tree under `root`, starting with the root
// itself, each directory before its contents, siblings in listing order.
// Links are reported as entries and never followed. Each directory is
// listed whole and closed before its entries are reported, so the walk
// holds at most one directory handle at a time, however deep the tree.
// Directories at `max_depth` are reported but not listed.
class TreeWalk {
public:
    explicit TreeWalk(std::filesystem::path root, std::size_t max_depth = std::numeric_limits<std::size_t>::max());

    // The next entry, a failure to examine or list an entry, or nullopt at
    // the end. After a failure the walk goes on with the next sibling.
    [[nodiscard]] std::optional<std::expected<WalkEntry, WalkError>> next();

private:
    struct Level {
        std::filesystem::path path;
        std::size_t depth = 0;
        std::vector<DirectoryEntry> entries;
        std::size_t next = 0;
    };
    std::filesystem::path root_;
    std::size_t max_depth_;
    bool started_ = false;
    std::vector<Level> stack_;
    std::optional<WalkEntry> pending_directory_;
};

}  // namespace tessaryndle::platform
