#pragma once
// The release tool's check of an update archive before it is signed: the
// archive must pass what the elevated worker will do with it on the user's
// machine, so that a signed archive is never one the agent then refuses.

#include <expected>
#include <filesystem>
#include <string>

namespace tessaryndle::release {

// Extracts `archive` into a scratch directory of its own (below the
// system's temporary folder, removed again whatever happens) with the
// worker's own extraction, then checks what the worker checks next and what
// a Windows file system adds:
//  1. the worker's extraction and payload search: it opens as a ZIP, no
//     entry has an unsafe name or is a symbolic link, the application
//     executable lies at most four levels down (the agent's error texts);
//  2. the application, the launcher and the agent are present as files in
//     the payload directory (the agent's "Windows update is missing its
//     application, launcher, or updater agent");
//  3. every entry name is made of stable Windows names (no reserved device
//     name such as "nul.txt", no trailing dot or space, no character Windows
//     forbids), and no two names differ only in letter case, since Windows
//     would write them to one file.
// Returns the payload directory relative to the archive's root (empty for
// the root itself), or the first failure's text.
[[nodiscard]] std::expected<std::filesystem::path, std::string> check_update_archive(
    const std::filesystem::path& archive);

}  // namespace tessaryndle::release
