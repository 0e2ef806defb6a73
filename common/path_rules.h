#pragma once
// Every rule about names and paths that come from outside (the plan, the
// manifest, the archive) lives here, written once. A rule that differed
// between two copies would let a name through one door that another refuses,
// so callers keep their own error texts and ask these predicates only.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/name_rules.h"
#include "platform/text.h"

namespace tessaryndle::path_rules {

// Both "/" and "\" separate components in every name we check; one plain
// name (platform/name_rules.h, where the private directories use it too).
using platform::is_plain_component;
using platform::is_separator;

// A character that no Windows file name may hold: control characters (NUL
// included) and : < > " | ? *. A colon makes a drive prefix ("C:x") or an
// alternate data stream ("app.exe:s"); a NUL would cut the name short when it
// reaches the system.
template <class Char>
[[nodiscard]] constexpr bool is_forbidden_name_character(Char c) {
    const auto u = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<Char>>(c));
    if (u < 0x20) return true;
    switch (u) {
        case ':':
        case '<':
        case '>':
        case '"':
        case '|':
        case '?':
        case '*': return true;
        default: return false;
    }
}

// Whether `name` (UTF-8) stays exactly the one file name it looks like when
// Windows opens it: not empty, no separator or forbidden character, no
// trailing dot or space (Windows trims them, so "a." and "a" are one file and
// ".. " becomes ".."), not made of dots only, and not a reserved device name
// (CON, PRN, AUX, NUL, COM1-9, LPT1-9, in any letter case, with or without an
// extension: "nul.txt" opens the null device).
[[nodiscard]] bool is_stable_windows_name(std::string_view name);

// A build identifier names a version directory: not empty, only ASCII
// letters, digits, "-", "." and "_", and not made of dots only. It must also
// stay that one directory on Windows: "CON" or "nul.1" would name a device,
// and "2.4." would be trimmed to "2.4" by one path form and not by another.
[[nodiscard]] bool is_valid_build_identifier(std::string_view build);

// The manifest's executable-path rule: relative, plain name components only
// (both separators split; empty components and "." after the first are
// ignored), no "." first and no ".." anywhere, no component with a forbidden
// character or made of dots and spaces only, and a last component whose
// extension is exactly "exe".
[[nodiscard]] bool is_safe_executable_path(const std::filesystem::path& path);

// The components of a relative path as the manifest rules see them: both
// separators split, empty components and "." after the first are dropped, a
// leading separator is a root component of its own.
[[nodiscard]] std::vector<NativeString> manifest_path_components(const NativeString& text);

// Whether two paths name the same place by their components: the same prefix
// (drive, share) and root, and equal names compared exactly; repeated
// separators and "." components do not count.
[[nodiscard]] bool same_components(const std::filesystem::path& a, const std::filesystem::path& b);

// `path` relative to `base` when `base` is a leading part of it (components
// compared exactly; the empty element a trailing separator leaves is not a
// component). The base itself gives the empty path.
[[nodiscard]] std::optional<std::filesystem::path> relative_to_prefix(const std::filesystem::path& path,
                                                                      const std::filesystem::path& base);

// Where an archive entry named `name` (UTF-8) may be written, relative to the
// extraction directory, or nullopt when the name is unsafe: a NUL; a prefix
// of any kind (drive letter with colon, UNC, "\\?\", "\\.\") or a leading
// separator; a ".." that would climb above the directory; a component that
// Windows would trim into "." or ".." (dots and spaces only). Both "/" and
// "\" separate. The result is lexically resolved ("a/./b/../c.txt" gives
// a/c.txt), so the file system never sees a ".." of ours; a name that
// resolves to the directory itself gives the empty path. A name whose first
// component after resolving is a drive letter and a colon ("a/../C:x") is
// unsafe too; a colon further in ("a/C:x") stays part of its component.
[[nodiscard]] std::optional<std::filesystem::path> enclosed_entry_path(std::string_view name);

}  // namespace tessaryndle::path_rules
