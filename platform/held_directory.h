#pragma once
// A directory opened without following a link at its name, and held open
// while a caller that runs with more rights than the directory's owner
// writes into it.

#include <cstdint>
#include <filesystem>

#include "platform/files.h"
#include "platform/native_handle.h"

namespace tessaryndle::platform {

class HeldDirectory {
public:
    // Opens `path` itself, never what a link or junction there points to
    // (Windows: FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
    // sharing read and write but not delete, so that while it is held the
    // directory cannot be renamed, removed or replaced by a junction;
    // elsewhere O_DIRECTORY | O_NOFOLLOW). What was opened is then checked on
    // that handle: it must be a directory and no reparse point of any kind.
    // Failures: the OS error of the open (natively ELOOP or ENOTDIR for a
    // link); ERROR_DIRECTORY (Windows) / ENOTDIR when the opened object is
    // not a plain directory.
    [[nodiscard]] static OsResult<HeldDirectory> open_no_follow(const std::filesystem::path& path);

    HeldDirectory(HeldDirectory&& other) noexcept = default;
    HeldDirectory& operator=(HeldDirectory&& other) noexcept = default;
    HeldDirectory(const HeldDirectory&) = delete;
    HeldDirectory& operator=(const HeldDirectory&) = delete;
    ~HeldDirectory() = default;

private:
    explicit HeldDirectory(std::intptr_t handle) : handle_(handle) {}
    NativeHandle handle_;
};

}  // namespace tessaryndle::platform
