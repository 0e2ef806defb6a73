#pragma once
// Who may use a directory, read back from the system.

#include <filesystem>
#include <string>

namespace tessaryndle::test {

// What a private directory shows: Windows: owner Administrators and a
// protected DACL of exactly two entries, full access for Administrators and
// SYSTEM, inherited by files and directories inside; natively: owned by the
// test's own user (root in CI) with mode 0700.
inline constexpr std::string_view PRIVATE_ACCESS_WINDOWS = "O:BA D:P (A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
inline constexpr std::string_view PRIVATE_ACCESS_NATIVE = "owner: this user, mode 0700";

// The directory's access in the form of the constants above: Windows: "O:"
// owner, " D:" and the DACL's protection flag ("P" or nothing), then its
// entries in SDDL, sorted (read with GetSecurityInfo); natively: "owner: this
// user" or "owner: uid N", then the permission bits in octal.
[[nodiscard]] std::string directory_access(const std::filesystem::path& path);

// Whether the file system keeps the owner and DACL it is given. Wine does not:
// every file shows the current user as its owner and a DACL made from the
// Unix permission bits.
[[nodiscard]] bool file_security_is_kept();

}  // namespace tessaryndle::test
