#pragma once
// A directory opened once, without following a link at its name, checked on
// that handle, and held open for as long as a caller that runs with more
// rights than the directory's owner works in it. Everything the caller does
// there afterwards goes through the handle, not through the name it was
// opened by: a link, junction or mount point that someone puts in place of
// the directory, or of any directory above it, after the open changes
// nothing of what the caller reaches.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string_view>
#include <utility>

#include "platform/files.h"
#include "platform/native_handle.h"

namespace tessaryndle::platform {

// Natively, the registration of "/proc/self/fd/N" as the path a user knows
// the held directory by, so that errors show that path (see shown_path).
// Nothing on Windows. Moving hands the registration over.
class ShownAlias {
public:
    ShownAlias() = default;
    ShownAlias(std::intptr_t handle, const std::filesystem::path& shown);
    ShownAlias(ShownAlias&& other) noexcept : handle_(std::exchange(other.handle_, NativeHandleTraits::invalid())) {}
    ShownAlias& operator=(ShownAlias&& other) noexcept;
    ShownAlias(const ShownAlias&) = delete;
    ShownAlias& operator=(const ShownAlias&) = delete;
    ~ShownAlias();

private:
    std::intptr_t handle_ = NativeHandleTraits::invalid();
};

class HeldDirectory {
public:
    // Opens `path` itself, never what a link or junction there points to
    // (Windows: FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
    // elsewhere O_DIRECTORY | O_NOFOLLOW), and checks on that handle that it
    // is a directory and no reparse point of any kind. On Windows the handle
    // asks for FILE_LIST_DIRECTORY | FILE_TRAVERSE, so that its share mode
    // counts, and shares reading and writing but not deletion: while it is
    // held nobody can rename or remove the directory, and NTFS will not
    // rename a directory above it either. Failures: the OS error of the open
    // (natively ELOOP or ENOTDIR for a link); ERROR_DIRECTORY (Windows) /
    // ENOTDIR when the opened object is not a plain directory.
    [[nodiscard]] static OsResult<HeldDirectory> open_no_follow(const std::filesystem::path& path);
    // Takes over `handle`, a directory that the platform layer opened
    // without following a link and has checked, known to the user as
    // `shown`.
    [[nodiscard]] static HeldDirectory adopt(NativeHandle handle, const std::filesystem::path& shown);

    HeldDirectory(HeldDirectory&& other) noexcept = default;
    HeldDirectory& operator=(HeldDirectory&& other) noexcept = default;
    HeldDirectory(const HeldDirectory&) = delete;
    HeldDirectory& operator=(const HeldDirectory&) = delete;
    ~HeldDirectory() = default;

    // A path that reaches the held directory through its handle, for the
    // operations that take paths (extraction, tree walks, Authenticode):
    // natively "/proc/self/fd/N", which the kernel resolves to the open
    // directory itself whatever became of its name; on Windows the path it
    // was opened by, which the hold keeps naming it (see open_no_follow).
    [[nodiscard]] const std::filesystem::path& path() const { return through_; }
    // The path as the user knows it, for messages.
    [[nodiscard]] const std::filesystem::path& shown() const { return shown_; }

    // Whether `other` holds the same directory (natively the same device and
    // inode; Windows the same volume serial number and file index).
    [[nodiscard]] OsResult<bool> same_directory_as(const HeldDirectory& other) const;

    // Replaces the file `name` directly inside the held directory: `bytes`
    // go to the new file `temporary_name` beside it (an entry of that name
    // that is no directory, a link included, is removed first as an entry:
    // a temporary that a killed run left must not block the next), are
    // flushed, and that very file is renamed over `name`. Both are created,
    // removed and renamed relative to the handle (natively openat,
    // unlinkat and renameat; Windows NtCreateFile and
    // NtSetInformationFile with the handle as root directory), never through
    // a link at either name. Both names must be single plain components.
    // Readers see the old complete file or the new one. On failure `name`
    // is unchanged; a temporary file may remain.
    [[nodiscard]] std::expected<void, ReplaceFailure> replace_file(const std::filesystem::path& name,
                                                                   const std::filesystem::path& temporary_name,
                                                                   std::string_view bytes) const;

private:
    HeldDirectory(std::intptr_t handle, const std::filesystem::path& opened);
    NativeHandle handle_;
    std::filesystem::path through_;
    std::filesystem::path shown_;
    ShownAlias alias_;
};

// `path` as the user knows it: natively a path below "/proc/self/fd/N" of a
// held directory becomes the same path below the directory's shown path;
// every other path, and every path on Windows, is returned unchanged.
[[nodiscard]] std::filesystem::path shown_path(const std::filesystem::path& path);

// The directory that holds the running program's image, opened and held as
// open_no_follow does. Failure: the OS error of finding or opening it.
[[nodiscard]] OsResult<HeldDirectory> hold_own_image_directory();

}  // namespace tessaryndle::platform
