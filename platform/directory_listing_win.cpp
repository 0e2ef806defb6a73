#include "platform/directory_listing_win.h"

#include "platform/long_path_win.h"
#include "platform/win_handle.h"

namespace tessaryndle::platform {

OsResult<std::vector<FoundEntry>> find_directory_entries(const std::filesystem::path& directory) {
    WIN32_FIND_DATAW data{};
    std::wstring pattern = long_path(directory);
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern.push_back(L'\\');
    pattern.push_back(L'*');
    UniqueFindHandle find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
    std::vector<FoundEntry> entries;
    if (find.get() == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return entries;
        return std::unexpected(OsError::from_code(error));
    }
    for (;;) {
        const std::wstring_view name = data.cFileName;
        if (name != L"." && name != L"..") {
            // The search reports a reparse point's tag in dwReserved0.
            const DWORD tag = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? data.dwReserved0 : 0;
            entries.push_back(FoundEntry{std::wstring(name), data.dwFileAttributes, tag});
        }
        if (!FindNextFileW(find.get(), &data)) {
            const DWORD error = GetLastError();
            if (error == ERROR_NO_MORE_FILES) break;
            return std::unexpected(OsError::from_code(error));
        }
    }
    return entries;
}

}  // namespace tessaryndle::platform
