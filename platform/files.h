#pragma once
// File-system operations of both programs. On Windows they are the Win32
// calls themselves (libstdc++'s filesystem code does not see reparse tags);
// elsewhere the POSIX equivalents, a symbolic link counting as a
// name-surrogate reparse point.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/native_handle.h"
#include "platform/os_error.h"

namespace tessaryndle::platform {

struct FileInfo {
    bool directory = false;
    // A symbolic link or junction (on Windows as platform/link_win.h
    // defines it: reparse points that hold data, such as placeholders of
    // synced folders, are not links).
    bool link = false;
    std::uint64_t size = 0;

    // Not a directory, not a link.
    [[nodiscard]] bool regular() const { return !directory && !link; }
    // A directory that is no link.
    [[nodiscard]] bool plain_directory() const { return directory && !link; }
};

// The entry's own metadata; a final link is not followed (Windows:
// FILE_FLAG_OPEN_REPARSE_POINT; elsewhere lstat).
[[nodiscard]] OsResult<FileInfo> file_info_no_follow(const std::filesystem::path& path);
// The metadata of what the path finally names, following links.
[[nodiscard]] OsResult<FileInfo> file_info_follow(const std::filesystem::path& path);

// The whole content of a file, no size limit.
[[nodiscard]] OsResult<std::string> read_whole_file(const std::filesystem::path& path);

// Why read_regular_file_no_follow read nothing.
struct RegularFileError {
    // What the path names is no regular file: a directory, a link or
    // junction (never followed), a device, a pipe or a FIFO.
    bool not_regular = false;
    // A regular file that the user who started the update could not read
    // (see starting_user_may_read): nothing of it was read.
    bool not_readable_by_user = false;
    // Otherwise the system's error.
    OsError error;
};

// Whose rights a read of a file that the user named is made with: the
// process's own, or (on the elevated side) also the starting user's.
enum class ReadAs { Process, StartingUser };

// The whole content of the regular file at `path`, no size limit. The file is
// opened once without following a final link (Windows:
// FILE_FLAG_OPEN_REPARSE_POINT; elsewhere O_NOFOLLOW, and O_NONBLOCK so that
// a FIFO cannot stall the open), checked on that handle, and read from the
// same handle: what is read is what was checked, even when the name is
// swapped for a link meanwhile.
// With ReadAs::StartingUser the file must also be one that the user who
// started the update could read, checked on the same handle before a byte is
// read.
[[nodiscard]] std::expected<std::string, RegularFileError> read_regular_file_no_follow(
    const std::filesystem::path& path, ReadAs reader = ReadAs::Process);

// Creates the directory and any missing parents; an existing directory is
// success.
[[nodiscard]] OsResult<void> create_directories(const std::filesystem::path& path);

// Creates `base / relative` one component at a time, never following a link:
// `base` must be a directory that is not itself a link or junction (links
// among its ancestors are followed as usual), and every component of
// `relative` that already exists must be a plain directory. `relative` holds
// plain names only (no root, "." or ".."); when it is empty only `base` is
// checked. A link, junction or other reparse point fails with ELOOP
// (ERROR_STOPPED_ON_SYMLINK on Windows), a file in the way with ENOTDIR
// (ERROR_ALREADY_EXISTS), and nothing is ever created through a link.
[[nodiscard]] OsResult<void> create_directories_below(const std::filesystem::path& base,
                                                      const std::filesystem::path& relative);

// A file opened for writing, closed exactly once on every path out.
class OutputFile {
public:
    // Creates or truncates, sharing read, write and delete with other openers.
    [[nodiscard]] static OsResult<OutputFile> create_truncate(const std::filesystem::path& path);
    // Creates only when nothing exists under the name yet, not even a link
    // (which is never followed).
    [[nodiscard]] static OsResult<OutputFile> create_new(const std::filesystem::path& path);
    // Creates the file, or opens an existing one and truncates it, without
    // following a final link (O_NOFOLLOW; FILE_FLAG_OPEN_REPARSE_POINT) and
    // sharing like create_truncate. What already exists under the name must
    // be a regular file with no other name: a link, junction or other
    // reparse point (ELOOP; ERROR_STOPPED_ON_SYMLINK), a directory, device
    // or pipe, or a file with further hard links (EMLINK;
    // ERROR_TOO_MANY_LINKS) is refused and left exactly as it was. Natively
    // a new file gets mode 0755 less the umask: extraction writes programs.
    [[nodiscard]] static OsResult<OutputFile> create_truncate_no_follow(const std::filesystem::path& path);
    // Opens the file to go on writing at its end, creating it empty when
    // missing, under the same rules as create_truncate_no_follow (no link
    // followed, only a regular file with one name). A file longer than
    // `keep_at_most` bytes is cut to that length first. Returns the file and
    // the length it now has. For downloads that resume where they stopped.
    [[nodiscard]] static OsResult<std::pair<OutputFile, std::uint64_t>> open_append_no_follow(
        const std::filesystem::path& path, std::uint64_t keep_at_most);

    OutputFile(OutputFile&& other) noexcept = default;
    OutputFile& operator=(OutputFile&& other) noexcept = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() = default;

    // Writes every byte, retrying interrupted and partial writes.
    [[nodiscard]] OsResult<void> write_all(std::string_view bytes);
    // Flushes the file to stable storage (FlushFileBuffers / fsync).
    [[nodiscard]] OsResult<void> flush();
    // Asks the system to start writing what was written so far to the disk,
    // without waiting for it (natively sync_file_range with
    // SYNC_FILE_RANGE_WRITE; on Windows nothing, as its lazy writer starts
    // on its own and FlushFileBuffers has no such half). Only a head start
    // for a later flush, which alone makes the data durable: never fails.
    void start_write_back();
    void close() { handle_.reset(); }

private:
    explicit OutputFile(std::intptr_t handle) : handle_(handle) {}
    NativeHandle handle_;
};

// Creates or truncates the file and writes `bytes` as its whole content.
[[nodiscard]] OsResult<void> write_whole_file(const std::filesystem::path& path, std::string_view bytes);

// The platform's ordinary replacing rename: MoveFileExW with
// MOVEFILE_REPLACE_EXISTING, and when that is refused with access denied, a
// POSIX-semantics rename through an open handle
// (SetFileInformationByHandle(FileRenameInfoEx)). Elsewhere rename(2)
// followed by an fsync of the target's directory.
[[nodiscard]] OsResult<void> rename_replace(const std::filesystem::path& from, const std::filesystem::path& to);

// MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH.
// Write-through only matters for a move that Windows does as a copy and a
// delete (across volumes): it then returns once the copy is flushed. A
// rename within a volume, which is what every caller does, is a change of
// the file system's metadata; NTFS records it in its journal and it is
// durable once the journal reaches the disk (at its next flush, normally
// within seconds), not necessarily before this returns. So a caller flushes
// the contents of what it renames before the rename, and a power cut right
// after the call may still leave the old name. Elsewhere rename(2) and an
// fsync of the target's directory, which does make the rename durable.
[[nodiscard]] OsResult<void> rename_replace_write_through(const std::filesystem::path& from,
                                                          const std::filesystem::path& to);

// Removes the entry `path` itself: a file, or a link or junction (never what
// a link names). A real directory is refused. A missing entry is success.
[[nodiscard]] OsResult<void> remove_entry(const std::filesystem::path& path);

// What replace_file_contents does when something already has the temporary
// name: fail, or remove that entry first (as an entry, never through it).
enum class ExistingTemporary { Refuse, Remove };
// The final rename: rename_replace or rename_replace_write_through.
enum class RenameKind { Ordinary, WriteThrough };

struct ReplaceFailure {
    enum class Stage {
        Temporary,  // creating, writing or flushing the temporary file
        Rename,     // renaming it over the target
    };
    Stage stage;
    OsError error;
};

// The one way to replace a file that another process reads: the bytes go to
// `temporary` (a sibling of `target`, created new so that nothing is ever
// written through a link at that name), are flushed to stable storage, and
// the file is renamed over `target`. Readers see the old complete file or the
// new one. On failure `target` is unchanged; a temporary file this call
// created may remain.
[[nodiscard]] std::expected<void, ReplaceFailure> replace_file_contents(const std::filesystem::path& target,
                                                                        const std::filesystem::path& temporary,
                                                                        std::string_view bytes,
                                                                        ExistingTemporary existing, RenameKind rename);

// Copies one file over another (CopyFileExW; elsewhere a plain copy of the
// bytes and permission bits, a failed write failing with its own error, such
// as ENOSPC).
[[nodiscard]] OsResult<void> copy_file_replace(const std::filesystem::path& from, const std::filesystem::path& to);

// Flushes what `path` names to stable storage, never through a link: a file
// is flushed on a handle opened for writing without following a final link
// (FlushFileBuffers; a read-only file has the attribute lifted for the open
// and put back; elsewhere fsync). Natively a directory is fsynced too, so
// that its entries are durable; on Windows a directory needs no flush (its
// entries are journaled by the file system) and succeeds, and natively so
// does anything that is neither a file nor a directory (a FIFO). A link or
// junction at `path` fails (ERROR_STOPPED_ON_SYMLINK / ELOOP).
[[nodiscard]] OsResult<void> flush_entry(const std::filesystem::path& path);

// Which entry could not be flushed by flush_entries, and why.
struct FlushFailure {
    std::size_t index = 0;
    OsError error;
};

// flush_entry of every path in `paths`, several at a time on a small pool of
// threads: each flush waits for the disk (natively a journal commit or a
// flush of the device's cache), and waits that overlap are served together,
// so a build of many small files is flushed in a fraction of the time that
// one flush after the other takes. Returns once every flush has ended;
// after a failure no further flush is started, and the failure reported is
// that of the first failed path in `paths` order.
[[nodiscard]] std::expected<void, FlushFailure> flush_entries(std::span<const std::filesystem::path> paths);

// Marks the entry hidden without following a link (Windows: the
// FILE_ATTRIBUTE_HIDDEN attribute; elsewhere a name starting with "." hides
// it, and nothing is done).
[[nodiscard]] OsResult<void> set_hidden(const std::filesystem::path& path);

// Whether a refused rename or deletion means that the file is in use or
// protected: access denied or a sharing violation on Windows (what a running
// program's image gives); EACCES, EPERM, EBUSY or ETXTBSY elsewhere.
[[nodiscard]] bool is_in_use_refusal(const OsError& error);
// The platform's access-denied error (ERROR_ACCESS_DENIED / EACCES).
[[nodiscard]] OsError access_denied_error();
// Whether a lookup failed because nothing has the name (ERROR_FILE_NOT_FOUND
// or ERROR_PATH_NOT_FOUND; ENOENT elsewhere).
[[nodiscard]] bool is_not_found(const OsError& error);

}  // namespace tessaryndle::platform
