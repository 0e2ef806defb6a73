#include <windows.h>

#include "platform/long_path_win.h"
#include "platform/mapped_file.h"
#include "platform/win_handle.h"

namespace tessaryndle::platform {

OsResult<MappedFile> MappedFile::open(const std::filesystem::path& path) {
    constexpr DWORD FULL_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const UniqueHandle file(CreateFileW(long_path(path).c_str(), GENERIC_READ, FULL_SHARING, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return std::unexpected(OsError::last());
    return map_handle(reinterpret_cast<std::intptr_t>(file.get()));
}

OsResult<MappedFile> MappedFile::map_handle(std::intptr_t handle) {
    const HANDLE file = reinterpret_cast<HANDLE>(handle);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) return std::unexpected(OsError::last());
    // The section gets exactly the size just read, so the view below always
    // fits it even if another process changes the file's length meanwhile (a
    // file shrunk below it makes this call fail instead). Size 0 means "the
    // file's current length" to CreateFileMappingW, which refuses an empty
    // file with ERROR_FILE_INVALID.
    const auto length = static_cast<std::uint64_t>(size.QuadPart);
    const UniqueHandle mapping(CreateFileMappingW(file, nullptr, PAGE_READONLY, static_cast<DWORD>(length >> 32),
                                                  static_cast<DWORD>(length), nullptr));
    if (!mapping.valid()) return std::unexpected(OsError::last());

    // The view keeps the section and the file alive by itself; the section
    // handle is closed when this function returns, the file's by the caller.
    void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(length));
    if (view == nullptr) return std::unexpected(OsError::last());
    return MappedFile(static_cast<const std::uint8_t*>(view), static_cast<std::size_t>(length));
}

void MappedFile::release() noexcept {
    if (data_ != nullptr) UnmapViewOfFile(data_);
    data_ = nullptr;
    size_ = 0;
}

}  // namespace tessaryndle::platform
