#include <windows.h>

#include "platform/input_file.h"
#include "platform/link_win.h"
#include "platform/long_path_win.h"
#include "platform/win_handle.h"

namespace tessaryndle::platform {
namespace {

HANDLE to_handle(const NativeHandle& handle) { return reinterpret_cast<HANDLE>(handle.get()); }

}  // namespace

OsResult<InputFile> InputFile::open_no_follow(const std::filesystem::path& path) {
    UniqueHandle handle(CreateFileW(long_path(path, NameForm::AsWritten).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.valid()) return std::unexpected(OsError::last());
    if (auto plain = plain_disk_file_information(handle.get()); !plain) return std::unexpected(plain.error());
    return InputFile(reinterpret_cast<std::intptr_t>(handle.release()));
}

OsResult<std::uint64_t> InputFile::size() const {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(to_handle(handle_), &size)) return std::unexpected(OsError::last());
    return static_cast<std::uint64_t>(size.QuadPart);
}

OsResult<std::size_t> InputFile::read_some_at(std::uint64_t offset, std::span<std::uint8_t> into) const {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    // ReadFile takes a 32-bit length.
    const DWORD chunk = into.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(into.size());
    DWORD read = 0;
    if (!ReadFile(to_handle(handle_), into.data(), chunk, &read, &at)) {
        // A positioned read at or past the end fails with this error.
        if (GetLastError() == ERROR_HANDLE_EOF) return 0;
        return std::unexpected(OsError::last());
    }
    return static_cast<std::size_t>(read);
}

OsError InputFile::end_of_file_error() { return OsError::from_code(ERROR_HANDLE_EOF); }

OsResult<std::intptr_t> InputFile::duplicate_native_handle() const {
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), to_handle(handle_), GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return std::unexpected(OsError::last());
    }
    return reinterpret_cast<std::intptr_t>(duplicate);
}

OsResult<std::intptr_t> InputFile::reopen_native_handle() const {
    HANDLE reopened = ReOpenFile(to_handle(handle_), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_FLAG_OPEN_REPARSE_POINT);
    if (reopened == INVALID_HANDLE_VALUE) return std::unexpected(OsError::last());
    return reinterpret_cast<std::intptr_t>(reopened);
}

}  // namespace tessaryndle::platform
