#pragma once
// Listing one directory with FindFirstFileExW, shared by the tree walk and
// the recursive removal. Windows-only header.

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/link_win.h"

namespace tessaryndle::platform {

struct FoundEntry {
    std::wstring name;
    DWORD attributes = 0;   // as the directory lists them; reparse points are not resolved
    DWORD reparse_tag = 0;  // when FILE_ATTRIBUTE_REPARSE_POINT is set

    [[nodiscard]] bool link() const noexcept { return is_link(attributes, reparse_tag); }
    [[nodiscard]] bool directory() const noexcept { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    [[nodiscard]] bool plain_directory() const noexcept { return directory() && !link(); }
};

// The entries of `directory` ("." and ".." left out) in listing order, read
// whole before the search handle is closed. An empty listing is success.
[[nodiscard]] OsResult<std::vector<FoundEntry>> find_directory_entries(const std::filesystem::path& directory);

}  // namespace tessaryndle::platform
