#pragma once
// Safe extraction of the verified update archive, and where the new build's
// files lie in what was extracted.

#include <atomic>
#include <filesystem>
#include <memory>

#include "common/update_error.h"
#include "platform/input_file.h"

namespace tessaryndle::extraction {

// Writes every entry of the ZIP archive at `archive` below `destination`, in
// central-directory order, and returns find_payload_root(destination).
//  - The destination and its missing ancestors are created (Io at the
//    destination); the destination itself must not be a link or junction.
//  - The archive is opened sharing read, write and delete (Io at the
//    archive); an unreadable central directory, or an Info-ZIP Unicode path
//    field whose CRC-32 does not match its entry's stored name, gives
//    InvalidArtifact "open ZIP: {description}".
//  - Before each entry `cancel` is looked at (a null flag is never set):
//    Cancelled. An entry that is encrypted, uses a method other than stored
//    or Deflate, or cannot be opened gives InvalidArtifact "read ZIP entry:
//    {description}"; an unsafe name (path_rules::enclosed_entry_path) gives
//    "archive contains unsafe path {name}"; a Unix symbolic link gives
//    "Windows update archive contains a symbolic link".
//  - Directories are created and files written below the destination
//    without ever following or creating a link: a link, junction or hard
//    link already in the way fails with Io at its path and is left as it
//    was. Failures: Io at the directory, the file's parent, or the file; a
//    CRC-32 mismatch shows as "Invalid checksum", damaged Deflate data as
//    "corrupt deflate stream".
// What was written before a failure stays on disk; a file is created or
// truncated, never removed. An archive of many entries with plain names that
// do not meet (no name twice, ignoring ASCII case; see extract.cpp) is
// written by several threads at once, entries handed out in order: the
// outcome is the same, and the failure reported is still the earliest
// entry's, but an entry or two after a failed one may have been written too.
[[nodiscard]] Result<std::filesystem::path> extract_update_archive(const std::filesystem::path& archive,
                                                                   const std::filesystem::path& destination,
                                                                   std::shared_ptr<const std::atomic<bool>> cancel);

// extract_update_archive from an archive the caller has already opened (and
// verified), so that what is extracted is the very file that was checked;
// `archive_path` only names it in errors.
[[nodiscard]] Result<std::filesystem::path> extract_update_archive(const platform::InputFile& archive,
                                                                   const std::filesystem::path& archive_path,
                                                                   const std::filesystem::path& destination,
                                                                   std::shared_ptr<const std::atomic<bool>> cancel);

// The directory holding "tessaryndle-app.exe" below `destination`: the first
// file at depth 1 to 4 (the destination is depth 0) whose name equals it
// ignoring ASCII letter case, in a depth-first walk that lists each
// directory in the file system's order and never follows a link. A walk
// failure gives InvalidArtifact "IO error for operation on {path}: {error}";
// no match gives ApplicationNotFound with the destination.
[[nodiscard]] Result<std::filesystem::path> find_payload_root(const std::filesystem::path& destination);

}  // namespace tessaryndle::extraction
