#pragma once
// The form in which paths reach the Win32 file functions. Windows-only
// header: included by *_win.cpp files alone.

#include <filesystem>
#include <string>

namespace tessaryndle::platform {

// `path` in the extended-length form ("\\?\C:\dir\file",
// "\\?\UNC\server\share\file"), so that the file functions accept it however
// long it is (up to 32767 characters) instead of stopping at 260.
//
// The system does not normalise an extended-length path, so the path is made
// absolute and normalised first exactly as Win32 would have done it
// (GetFullPathNameW: "/" becomes "\", "." and ".." are resolved, trailing
// dots and spaces of names dropped): the file opened is the one the plain
// form names. A path already in "\\?\" form, a device path ("\\.\", and what
// GetFullPathNameW turns a device name such as "nul" into), and a path that
// cannot be made absolute are returned unchanged.
//
// Only for the calls themselves: errors and logs keep showing the path as
// the user gave it.
[[nodiscard]] std::wstring extended_length_path(const std::filesystem::path& path);

}  // namespace tessaryndle::platform
