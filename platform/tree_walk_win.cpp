#include <windows.h>

#include "platform/tree_walk.h"
#include "platform/win_handle.h"

namespace tessaryndle::platform {
namespace {

OsError last_error() { return OsError::from_code(static_cast<std::int64_t>(GetLastError())); }

// Every reparse point is a link here, whatever its tag: a payload never
// holds one, and Wine lists Unix links to directories with the tag 0.
EntryKind kind_from_attributes(DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::Link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::Directory;
    return EntryKind::File;
}

}  // namespace

OsResult<std::vector<DirectoryEntry>> list_directory(const std::filesystem::path& path) {
    // FindFirstFileExW would list the target of a link named by `path`.
    const DWORD own = GetFileAttributesW(path.c_str());
    if (own == INVALID_FILE_ATTRIBUTES) return std::unexpected(last_error());
    if (kind_from_attributes(own) != EntryKind::Directory) {
        return std::unexpected(OsError::from_code(ERROR_DIRECTORY));
    }
    WIN32_FIND_DATAW data{};
    const std::filesystem::path pattern = path / L"*";
    UniqueFindHandle find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH));
    std::vector<DirectoryEntry> entries;
    if (find.get() == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return entries;
        return std::unexpected(OsError::from_code(error));
    }
    for (;;) {
        const std::wstring_view name = data.cFileName;
        if (name != L"." && name != L"..") {
            entries.push_back(DirectoryEntry{std::wstring(name), kind_from_attributes(data.dwFileAttributes)});
        }
        if (!FindNextFileW(find.get(), &data)) {
            const DWORD error = GetLastError();
            if (error == ERROR_NO_MORE_FILES) break;
            return std::unexpected(OsError::from_code(error));
        }
    }
    return entries;
}

OsResult<EntryKind> entry_kind_no_follow(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return std::unexpected(last_error());
    return kind_from_attributes(attributes);
}

}  // namespace tessaryndle::platform
