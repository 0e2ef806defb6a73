#include <windows.h>

#include <string>

#include "platform/working_directory.h"

namespace tessaryndle::platform {
namespace {

OsError last_os_error() { return OsError::from_code(static_cast<std::int64_t>(GetLastError())); }

}  // namespace

OsResult<void> set_current_directory(const std::filesystem::path& directory) {
    if (!SetCurrentDirectoryW(directory.c_str())) return std::unexpected(last_os_error());
    return {};
}

OsResult<std::filesystem::path> steady_directory() {
    // With a buffer too small the call returns the size needed, terminator
    // included; on success the length without it.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const UINT length = GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
        if (length == 0) return std::unexpected(last_os_error());
        if (length < buffer.size()) {
            buffer.resize(length);
            return std::filesystem::path(std::move(buffer));
        }
        buffer.assign(length, L'\0');
    }
}

}  // namespace tessaryndle::platform
