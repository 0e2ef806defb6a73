#include <windows.h>

#include <cstring>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/link_win.h"
#include "platform/long_path_win.h"
#include "platform/starting_user.h"
#include "platform/win_handle.h"

namespace tessaryndle::platform {
namespace {

constexpr DWORD FULL_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// ERROR_STOPPED_ON_SYMLINK, which the mingw headers lack.
constexpr DWORD STOPPED_ON_SYMLINK = 681;

OsResult<FileInfo> info_from_handle(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION basic{};
    if (!GetFileInformationByHandle(handle, &basic)) return std::unexpected(OsError::last());
    FileInfo info;
    info.directory = (basic.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const auto attributes = entry_attributes(handle);
    if (!attributes) return std::unexpected(attributes.error());
    info.link = attributes->link;
    info.size = (static_cast<std::uint64_t>(basic.nFileSizeHigh) << 32) | basic.nFileSizeLow;
    return info;
}

OsResult<FileInfo> query(const std::filesystem::path& path, DWORD extra_flags) {
    // Metadata only: no read or write access is asked for, so files held open
    // by others can still be examined.
    UniqueHandle handle(CreateFileW(long_path(path).c_str(), FILE_READ_ATTRIBUTES, FULL_SHARING, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | extra_flags, nullptr));
    if (!handle.valid()) return std::unexpected(OsError::last());
    return info_from_handle(handle.get());
}

OsResult<std::string> read_all(HANDLE handle) {
    std::string content;
    char buffer[65536];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(handle, buffer, sizeof buffer, &read, nullptr)) return std::unexpected(OsError::last());
        if (read == 0) break;
        content.append(buffer, read);
    }
    return content;
}

HANDLE to_handle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

// FILE_RENAME_INFO with the Windows 10 flags member (FileRenameInfoEx); the
// mingw headers only know the older layout.
struct RenameInfoEx {
    DWORD Flags;
    HANDLE RootDirectory;
    DWORD FileNameLength;
    WCHAR FileName[1];
};
constexpr DWORD RENAME_REPLACE_IF_EXISTS = 0x00000001;
constexpr DWORD RENAME_POSIX_SEMANTICS = 0x00000002;
constexpr int FILE_RENAME_INFO_EX_CLASS = 22;  // FileRenameInfoEx

OsResult<void> posix_rename(const std::filesystem::path& from, const std::filesystem::path& to) {
    UniqueHandle handle(CreateFileW(long_path(from).c_str(), DELETE | SYNCHRONIZE, FULL_SHARING, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.valid()) return std::unexpected(OsError::last());
    const std::wstring target = long_path(to);
    const std::size_t bytes = offsetof(RenameInfoEx, FileName) + (target.size() + 1) * sizeof(WCHAR);
    std::vector<unsigned char> buffer(bytes, 0);
    auto* info = reinterpret_cast<RenameInfoEx*>(buffer.data());
    info->Flags = RENAME_REPLACE_IF_EXISTS | RENAME_POSIX_SEMANTICS;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(WCHAR));
    std::memcpy(info->FileName, target.c_str(), (target.size() + 1) * sizeof(WCHAR));
    if (!SetFileInformationByHandle(handle.get(), static_cast<FILE_INFO_BY_HANDLE_CLASS>(FILE_RENAME_INFO_EX_CLASS),
                                    info, static_cast<DWORD>(bytes))) {
        return std::unexpected(OsError::last());
    }
    return {};
}

}  // namespace

OsResult<FileInfo> file_info_no_follow(const std::filesystem::path& path) {
    return query(path, FILE_FLAG_OPEN_REPARSE_POINT);
}

OsResult<FileInfo> file_info_follow(const std::filesystem::path& path) { return query(path, 0); }

OsResult<std::string> read_whole_file(const std::filesystem::path& path) {
    // Full sharing: a reader (the launcher reading the manifest, say) must
    // not stop the writer from renaming a new file over this one.
    UniqueHandle handle(CreateFileW(long_path(path).c_str(), GENERIC_READ, FULL_SHARING, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.valid()) return std::unexpected(OsError::last());
    return read_all(handle.get());
}

std::expected<std::string, RegularFileError> read_regular_file_no_follow(const std::filesystem::path& path,
                                                                         ReadAs reader) {
    const auto failed = [](bool not_regular, OsError error) {
        return std::unexpected(RegularFileError{not_regular, false, std::move(error)});
    };
    // Backup semantics let a directory be opened too, so that it is reported
    // as no regular file rather than as access denied.
    UniqueHandle handle(CreateFileW(long_path(path).c_str(), GENERIC_READ, FULL_SHARING, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.valid()) return failed(false, OsError::last());
    // A pipe, console or other device is no file on a disk.
    if (GetFileType(handle.get()) != FILE_TYPE_DISK) return failed(true, OsError::from_code(ERROR_INVALID_PARAMETER));
    const auto info = info_from_handle(handle.get());
    if (!info) return failed(false, info.error());
    if (!info->regular()) return failed(true, OsError::from_code(ERROR_INVALID_PARAMETER));
    if (reader == ReadAs::StartingUser) {
        auto readable = starting_user_may_read(reinterpret_cast<std::intptr_t>(handle.get()));
        if (!readable) return failed(false, readable.error());
        if (!*readable) return std::unexpected(RegularFileError{false, true, OsError{}});
    }
    auto content = read_all(handle.get());
    if (!content) return failed(false, content.error());
    return std::move(*content);
}

OsResult<void> create_directories(const std::filesystem::path& path) {
    if (path.empty()) return {};
    const DWORD attributes = GetFileAttributesW(long_path(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return {};
        return std::unexpected(OsError::from_code(ERROR_ALREADY_EXISTS));
    }
    const std::filesystem::path parent = path.parent_path();
    if (!parent.empty() && parent != path) {
        if (auto made = platform::create_directories(parent); !made) return made;
    }
    if (!CreateDirectoryW(long_path(path).c_str(), nullptr)) {
        const DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS) {
            const DWORD again = GetFileAttributesW(long_path(path).c_str());
            if (again != INVALID_FILE_ATTRIBUTES && (again & FILE_ATTRIBUTE_DIRECTORY)) return {};
        }
        return std::unexpected(OsError::from_code(error));
    }
    return {};
}

OsResult<void> create_directories_below(const std::filesystem::path& base, const std::filesystem::path& relative) {
    // GetFileAttributesW reports a link or junction itself, not its target.
    // Every component is checked before the next one is used in a path, so
    // the system never resolves a reparse point below `base`.
    const auto plain_directory = [](const std::wstring& path) -> OsResult<void> {
        const auto attributes = entry_attributes_no_follow(path);
        if (!attributes) return std::unexpected(attributes.error());
        if (attributes->link) return std::unexpected(OsError::from_code(STOPPED_ON_LINK_ERROR));
        if (!attributes->directory()) return std::unexpected(OsError::from_code(ERROR_ALREADY_EXISTS));
        return {};
    };
    std::wstring current = long_path(base, NameForm::AsWritten);
    if (auto checked = plain_directory(current); !checked) return checked;
    for (const auto& component : relative) {
        if (component.empty()) continue;  // after a trailing separator
        if (!current.ends_with(L'\\')) current.push_back(L'\\');
        current += component.native();
        // A directory made here is new and empty: nothing to check.
        if (CreateDirectoryW(current.c_str(), nullptr)) continue;
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) return std::unexpected(OsError::from_code(error));
        if (auto checked = plain_directory(current); !checked) return checked;
    }
    return {};
}

OsResult<OutputFile> OutputFile::create_truncate(const std::filesystem::path& path) {
    HANDLE handle = CreateFileW(long_path(path).c_str(), GENERIC_WRITE, FULL_SHARING, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::unexpected(OsError::last());
    return OutputFile(reinterpret_cast<std::intptr_t>(handle));
}

OsResult<OutputFile> OutputFile::create_new(const std::filesystem::path& path) {
    // Not through a link: a reparse point already at the name (even one that
    // names nothing) makes the creation fail instead of creating its target.
    HANDLE handle = CreateFileW(long_path(path).c_str(), GENERIC_WRITE, FULL_SHARING, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::unexpected(OsError::last());
    return OutputFile(reinterpret_cast<std::intptr_t>(handle));
}

OsResult<OutputFile> OutputFile::create_truncate_no_follow(const std::filesystem::path& path) {
    // OPEN_ALWAYS rather than CREATE_ALWAYS: the file is truncated only once
    // the handle shows what was opened. With FILE_FLAG_OPEN_REPARSE_POINT a
    // link or junction at the name is opened itself, never its target.
    UniqueHandle handle(CreateFileW(long_path(path, NameForm::AsWritten).c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                    FULL_SHARING, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.valid()) return std::unexpected(OsError::last());
    const auto opened = plain_disk_file_information(handle.get());
    if (!opened) return std::unexpected(opened.error());
    const BY_HANDLE_FILE_INFORMATION& info = *opened;
    if (info.nNumberOfLinks > 1) return std::unexpected(OsError::from_code(ERROR_TOO_MANY_LINKS));
    // The file pointer is at 0 right after the open.
    if ((info.nFileSizeHigh != 0 || info.nFileSizeLow != 0) && !SetEndOfFile(handle.get())) {
        return std::unexpected(OsError::last());
    }
    return OutputFile(reinterpret_cast<std::intptr_t>(handle.release()));
}

OsResult<std::pair<OutputFile, std::uint64_t>> OutputFile::open_append_no_follow(const std::filesystem::path& path,
                                                                                 std::uint64_t keep_at_most) {
    UniqueHandle handle(CreateFileW(long_path(path, NameForm::AsWritten).c_str(), GENERIC_WRITE, FULL_SHARING, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.valid()) return std::unexpected(OsError::last());
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle.get(), &info)) return std::unexpected(OsError::last());
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return std::unexpected(OsError::from_code(STOPPED_ON_LINK_ERROR));
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || GetFileType(handle.get()) != FILE_TYPE_DISK) {
        return std::unexpected(OsError::from_code(ERROR_ACCESS_DENIED));
    }
    if (info.nNumberOfLinks > 1) return std::unexpected(OsError::from_code(ERROR_TOO_MANY_LINKS));
    std::uint64_t size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    LARGE_INTEGER position{};
    if (size > keep_at_most) {
        position.QuadPart = static_cast<LONGLONG>(keep_at_most);
        if (!SetFilePointerEx(handle.get(), position, nullptr, FILE_BEGIN) || !SetEndOfFile(handle.get())) {
            return std::unexpected(OsError::last());
        }
        size = keep_at_most;
    }
    position.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(handle.get(), position, nullptr, FILE_BEGIN)) return std::unexpected(OsError::last());
    return std::pair{OutputFile(reinterpret_cast<std::intptr_t>(handle.release())), size};
}

OsResult<void> OutputFile::write_all(std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!WriteFile(to_handle(handle_.get()), bytes.data(), chunk, &written, nullptr)) {
            return std::unexpected(OsError::last());
        }
        bytes.remove_prefix(written);
    }
    return {};
}

OsResult<void> OutputFile::flush() {
    if (!FlushFileBuffers(to_handle(handle_.get()))) return std::unexpected(OsError::last());
    return {};
}

void OutputFile::start_write_back() {
    // The cache manager's lazy writer begins on its own within about a
    // second; FlushFileBuffers, the only call that starts write-back on
    // demand, also waits for it.
}

OsResult<void> rename_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (MoveFileExW(long_path(from).c_str(), long_path(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
    const DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED) return std::unexpected(OsError::from_code(error));
    // A target that is open without delete sharing, or read-only, refuses the
    // classic rename; POSIX semantics replace the name all the same.
    if (auto renamed = posix_rename(from, to); renamed) return {};
    return std::unexpected(OsError::from_code(error));
}

OsResult<void> rename_replace_write_through(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (!MoveFileExW(long_path(from).c_str(), long_path(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return std::unexpected(OsError::last());
    }
    return {};
}

OsResult<void> remove_entry(const std::filesystem::path& path) {
    const auto attributes = entry_attributes_no_follow(path);
    if (!attributes) {
        if (attributes.error().code == ERROR_FILE_NOT_FOUND || attributes.error().code == ERROR_PATH_NOT_FOUND) {
            return {};
        }
        return std::unexpected(attributes.error());
    }
    // A directory link or junction is removed as a directory entry; the
    // directory it names is never touched. DeleteFileW deletes a file link
    // itself and refuses a real directory.
    const bool directory_link = attributes->directory() && attributes->link;
    if (directory_link ? RemoveDirectoryW(long_path(path).c_str()) : DeleteFileW(long_path(path).c_str())) return {};
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
    return std::unexpected(OsError::from_code(error));
}

OsResult<void> copy_file_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (!CopyFileExW(long_path(from).c_str(), long_path(to).c_str(), nullptr, nullptr, nullptr, 0))
        return std::unexpected(OsError::last());
    return {};
}

OsResult<void> flush_entry(const std::filesystem::path& path) {
    auto own = query(path, FILE_FLAG_OPEN_REPARSE_POINT);
    if (!own) return std::unexpected(own.error());
    if (own->link) return std::unexpected(OsError::from_code(STOPPED_ON_SYMLINK));
    if (own->directory) return {};
    const std::wstring name = long_path(path);
    const auto open_for_writing = [&name] {
        return UniqueHandle(CreateFileW(name.c_str(), GENERIC_WRITE, FULL_SHARING, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    };
    UniqueHandle handle = open_for_writing();
    if (!handle.valid()) {
        // A read-only file cannot be opened for writing; lift the attribute
        // for the open only (the handle keeps its access afterwards).
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(name.c_str());
        if (error != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
            (attributes & FILE_ATTRIBUTE_READONLY) == 0 || own->link ||
            !SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
            return std::unexpected(OsError::from_code(error));
        }
        handle = open_for_writing();
        const DWORD reopen_error = GetLastError();
        (void)SetFileAttributesW(name.c_str(), attributes);
        if (!handle.valid()) return std::unexpected(OsError::from_code(reopen_error));
    }
    // Checked again on the handle: what was opened is the file itself.
    auto opened = info_from_handle(handle.get());
    if (!opened) return std::unexpected(opened.error());
    if (opened->link) return std::unexpected(OsError::from_code(STOPPED_ON_SYMLINK));
    if (!FlushFileBuffers(handle.get())) return std::unexpected(OsError::last());
    return {};
}

OsResult<void> set_hidden(const std::filesystem::path& path) {
    const std::wstring name = long_path(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return std::unexpected(OsError::last());
    if (!SetFileAttributesW(name.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN)) return std::unexpected(OsError::last());
    return {};
}

bool is_in_use_refusal(const OsError& error) {
    return !error.message && (error.code == ERROR_ACCESS_DENIED || error.code == ERROR_SHARING_VIOLATION);
}

OsError access_denied_error() { return OsError::from_code(ERROR_ACCESS_DENIED); }

bool is_not_found(const OsError& error) {
    return !error.message && (error.code == ERROR_FILE_NOT_FOUND || error.code == ERROR_PATH_NOT_FOUND);
}

}  // namespace tessaryndle::platform
