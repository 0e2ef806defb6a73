#pragma once
// The extended-length form of absolute paths for the Win32 file functions.
// Windows-only header: included by *_win.cpp files alone.

#include <filesystem>
#include <string>

namespace tessaryndle::platform {

// "\\?\C:\dir\name" for "C:\dir\name" and "\\?\UNC\server\share\name" for
// "\\server\share\name", so that paths longer than MAX_PATH work and names
// reach the file system exactly as given. The system no longer resolves "."
// and ".." or turns "/" into "\" in that form, so the path is normalised
// lexically first, as Windows itself would. Paths already in "\\?\" or
// "\\.\" form stay as they are; relative paths are returned unchanged. Only
// for the calls themselves: messages keep the path as the user gave it.
[[nodiscard]] std::wstring extended_path(const std::filesystem::path& path);

}  // namespace tessaryndle::platform
