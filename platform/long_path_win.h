#pragma once
// The one form in which paths reach the Win32 file functions. Windows-only
// header: included by *_win.cpp files alone.

#include <filesystem>
#include <string>

namespace tessaryndle::platform {

// How the names of a path reach the file system.
enum class NameForm {
    // As Win32 reads the plain form: the path is made absolute from the
    // current directory and normalised by GetFullPathNameW ("/" becomes "\",
    // "." and ".." are resolved, trailing dots and spaces of names are
    // dropped), so the file reached is the one the plain form names. The
    // default: for every path that names a file as the user or the rest of
    // the program knows it.
    Normalised,
    // Exactly as written: only "/" becomes "\" and "." and ".." are resolved
    // lexically, as Windows itself would, and trailing dots and spaces stay
    // part of the name. For the opens and creations that act on a name whose
    // text was checked or built by the caller (the extraction's directory
    // chains and output files, files opened without following a link, the
    // release tool's secret files), so that the name acted on is the one
    // checked. A path that std::filesystem does not count as absolute is
    // returned unchanged, and Win32 then normalises it as usual: a relative
    // path, and with libstdc++ also a UNC path ("\\server\share\name").
    AsWritten,
};

// `path` in the extended-length form ("\\?\C:\dir\file",
// "\\?\UNC\server\share\file"), so that the file functions accept it however
// long it is (up to 32767 characters) instead of stopping at 260. The system
// does not normalise an extended-length path, so `form` decides what is done
// to it first.
//
// A path already in "\\?\" form and a device path ("\\.\") are returned
// unchanged. Normalised also leaves "\??\" paths, what GetFullPathNameW turns
// a device name such as "nul" into, and a path that cannot be made absolute
// unchanged; it returns an empty path unchanged.
//
// Only for the calls themselves: errors and logs keep showing the path as
// the user gave it.
[[nodiscard]] std::wstring long_path(const std::filesystem::path& path, NameForm form = NameForm::Normalised);

}  // namespace tessaryndle::platform
