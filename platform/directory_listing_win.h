#pragma once
// Listing one directory with FindFirstFileExW, shared by the tree walk and
// the recursive removal. Windows-only header.

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"

namespace tessaryndle::platform {

struct FoundEntry {
    std::wstring name;
    DWORD attributes = 0;  // as the directory lists them; reparse points are not resolved
};

// The entries of `directory` ("." and ".." left out) in listing order, read
// whole before the search handle is closed. An empty listing is success.
[[nodiscard]] OsResult<std::vector<FoundEntry>> find_directory_entries(const std::filesystem::path& directory);

}  // namespace tessaryndle::platform
