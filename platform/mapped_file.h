#pragma once
// A whole file mapped read-only into memory, so that digests and signatures
// can be computed over it without a read buffer or a copy.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

#include "platform/files.h"
#include "platform/input_file.h"

namespace tessaryndle::platform {

class MappedFile {
public:
    // Opens the file for reading while letting others read, write and delete
    // it (Windows: CreateFileW with FILE_SHARE_READ | FILE_SHARE_WRITE |
    // FILE_SHARE_DELETE) and maps it read-only from offset 0 for its current
    // length (CreateFileMappingW + MapViewOfFile; elsewhere open + mmap).
    // Fails with the error of the open or of the mapping; an empty file
    // cannot be mapped and fails too (1006 on Windows, EINVAL elsewhere).
    // No handle stays open once the call has returned, whatever the outcome:
    // the view alone keeps the file's pages reachable until destruction.
    [[nodiscard]] static OsResult<MappedFile> open(const std::filesystem::path& path);
    // Maps the whole of a file that is already open, as open() maps a file
    // it opened itself: what is mapped is the very file that was opened and
    // checked, whatever its path names by now. Works on a duplicate of the
    // handle, closed before the call returns.
    [[nodiscard]] static OsResult<MappedFile> map(const InputFile& file);

    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    // Unmaps the view.
    ~MappedFile();

    [[nodiscard]] std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

private:
    MappedFile(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    // Maps the open file `handle` (a HANDLE or a descriptor); the caller
    // keeps and closes the handle.
    [[nodiscard]] static OsResult<MappedFile> map_handle(std::intptr_t handle);
    void release() noexcept;

    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace tessaryndle::platform
