#pragma once
// A file opened once for reading at given offsets, whose handle can also be
// handed to a library that reads the same open file (the ZIP reader).

#include <cstdint>
#include <filesystem>
#include <span>

#include "platform/files.h"
#include "platform/native_handle.h"

namespace tessaryndle::platform {

class InputFile {
public:
    // Opens `path` for reading while letting others read, write and delete
    // it, without following a final link (FILE_FLAG_OPEN_REPARSE_POINT;
    // O_NOFOLLOW), and checks on the handle that a regular file was opened:
    // a link or junction fails with ERROR_STOPPED_ON_SYMLINK (ELOOP), a
    // directory, device or pipe with ERROR_ACCESS_DENIED (EISDIR, EINVAL).
    [[nodiscard]] static OsResult<InputFile> open_no_follow(const std::filesystem::path& path);

    InputFile(InputFile&& other) noexcept = default;
    InputFile& operator=(InputFile&& other) noexcept = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile() = default;

    // Whether the user who started the update could read this file (see
    // platform/starting_user.h).
    [[nodiscard]] OsResult<bool> starting_user_may_read() const;
    // The file's current size in bytes.
    [[nodiscard]] OsResult<std::uint64_t> size() const;
    // Fills `into` from `offset` on; reading past the end fails with
    // ERROR_HANDLE_EOF (EIO). On Windows the read moves the file pointer
    // that duplicates share; libraries reading through a duplicate seek
    // before they read.
    [[nodiscard]] OsResult<void> read_exact_at(std::uint64_t offset, std::span<std::uint8_t> into) const;
    // A second handle to the same open file (DuplicateHandle; a descriptor
    // from F_DUPFD_CLOEXEC), owned by the caller, who must close it.
    [[nodiscard]] OsResult<std::intptr_t> duplicate_native_handle() const;
    // Another open of the very file this one has open, for reading, with a
    // file position of its own (a duplicate shares the position, so two
    // threads reading through duplicates would move each other's): ReOpenFile
    // sharing read, write and delete; natively an open of /proc/self/fd/N,
    // which reaches the open file whatever has become of its name. Owned by
    // the caller, who must close it.
    [[nodiscard]] OsResult<std::intptr_t> reopen_native_handle() const;

private:
    explicit InputFile(std::intptr_t handle) : handle_(handle) {}
    // Reads at most `into.size()` bytes at `offset` into `into`; 0 at the end
    // of the file.
    [[nodiscard]] OsResult<std::size_t> read_some_at(std::uint64_t offset, std::span<std::uint8_t> into) const;
    // What read_exact_at reports when the file ends too early.
    [[nodiscard]] static OsError end_of_file_error();
    NativeHandle handle_;
};

}  // namespace tessaryndle::platform
