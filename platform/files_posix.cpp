#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <sys/stat.h>

#include <utility>
#include <vector>

#include "platform/descriptor_posix.h"
#include "platform/files.h"
#include "platform/starting_user.h"

namespace tessaryndle::platform {
namespace {

FileInfo info_from_stat(const struct stat& st) {
    FileInfo info;
    info.directory = S_ISDIR(st.st_mode);
    info.link = S_ISLNK(st.st_mode);
    info.size = static_cast<std::uint64_t>(st.st_size);
    return info;
}

int open_retrying(const char* path, int flags, mode_t mode) {
    return retry_on_eintr([&] { return ::open(path, flags | O_CLOEXEC, mode); });
}

int openat_retrying(int directory, const char* name, int flags, mode_t mode) {
    return retry_on_eintr([&] { return ::openat(directory, name, flags | O_CLOEXEC, mode); });
}

OsResult<void> sync_parent(const std::filesystem::path& path) {
    std::filesystem::path parent = path.parent_path();
    if (parent.empty()) parent = ".";
    const Descriptor fd(open_retrying(parent.c_str(), O_RDONLY | O_DIRECTORY, 0));
    if (!fd.valid()) return std::unexpected(OsError::last());
    if (::fsync(fd.get()) != 0) return std::unexpected(OsError::last());
    return {};
}

OsResult<std::string> read_all(const Descriptor& fd) {
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t n = retry_on_eintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
        if (n < 0) return std::unexpected(OsError::last());
        if (n == 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    return content;
}

}  // namespace

OsResult<FileInfo> file_info_no_follow(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::unexpected(OsError::last());
    return info_from_stat(st);
}

OsResult<FileInfo> file_info_follow(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::unexpected(OsError::last());
    return info_from_stat(st);
}

OsResult<std::string> read_whole_file(const std::filesystem::path& path) {
    const Descriptor fd(open_retrying(path.c_str(), O_RDONLY, 0));
    if (!fd.valid()) return std::unexpected(OsError::last());
    return read_all(fd);
}

std::expected<std::string, RegularFileError> read_regular_file_no_follow(const std::filesystem::path& path,
                                                                         ReadAs reader) {
    const auto failed = [](bool not_regular, OsError error) {
        return std::unexpected(RegularFileError{not_regular, false, std::move(error)});
    };
    // O_NOCTTY: a terminal device opened here must not become ours.
    const Descriptor fd(open_retrying(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0));
    if (!fd.valid()) {
        // ELOOP: the final component is a link.
        if (errno == ELOOP) return failed(true, OsError::last());
        return failed(false, OsError::last());
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return failed(false, OsError::last());
    if (!S_ISREG(st.st_mode)) return failed(true, OsError::from_code(EINVAL));
    if (reader == ReadAs::StartingUser) {
        auto readable = starting_user_may_read(fd.get());
        if (!readable) return failed(false, readable.error());
        if (!*readable) return std::unexpected(RegularFileError{false, true, OsError{}});
    }
    auto content = read_all(fd);
    if (!content) return failed(false, content.error());
    return std::move(*content);
}

OsResult<void> create_directories(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) return std::unexpected(OsError::from_code(ec.value()));
    return {};
}

OsResult<void> create_directories_below(const std::filesystem::path& base, const std::filesystem::path& relative) {
    // Each step opens the next component through the directory opened
    // before it, with O_NOFOLLOW: a link anywhere below `base` fails with
    // ELOOP instead of being entered, and mkdirat creates inside the very
    // directory that was checked.
    constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW;
    Descriptor directory(open_retrying(base.c_str(), DIRECTORY_FLAGS, 0));
    if (!directory.valid()) return std::unexpected(OsError::last());
    for (const auto& component : relative) {
        if (component.empty()) continue;  // after a trailing separator
        int next = openat_retrying(directory.get(), component.c_str(), DIRECTORY_FLAGS, 0);
        if (next < 0 && errno == ENOENT) {
            if (::mkdirat(directory.get(), component.c_str(), 0755) != 0 && errno != EEXIST) {
                return std::unexpected(OsError::last());
            }
            next = openat_retrying(directory.get(), component.c_str(), DIRECTORY_FLAGS, 0);
        }
        if (next < 0) return std::unexpected(OsError::last());
        directory = Descriptor(next);
    }
    return {};
}

OsResult<OutputFile> OutputFile::create_truncate(const std::filesystem::path& path) {
    const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return std::unexpected(OsError::last());
    return OutputFile(fd);
}

OsResult<OutputFile> OutputFile::create_new(const std::filesystem::path& path) {
    const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    if (fd < 0) return std::unexpected(OsError::last());
    return OutputFile(fd);
}

OsResult<OutputFile> OutputFile::create_truncate_no_follow(const std::filesystem::path& path) {
    // No O_TRUNC: the file is truncated only once it has been checked, so a
    // second hard link to a file elsewhere keeps its content. O_NONBLOCK
    // keeps a FIFO in the file's place from stalling the open. Created
    // executable (less the umask): what is extracted is a build whose
    // programs the launcher starts once the build is moved into place, and a
    // ZIP made on Windows carries no execute bits.
    Descriptor fd(open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0755));
    if (!fd.valid()) return std::unexpected(OsError::last());
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(OsError::last());
    if (!S_ISREG(st.st_mode)) return std::unexpected(OsError::from_code(S_ISDIR(st.st_mode) ? EISDIR : EINVAL));
    if (st.st_nlink > 1) return std::unexpected(OsError::from_code(EMLINK));
    if (st.st_size > 0) {
        if (retry_on_eintr([&] { return ::ftruncate(fd.get(), 0); }) != 0) return std::unexpected(OsError::last());
    }
    return OutputFile(fd.release());
}

OsResult<std::pair<OutputFile, std::uint64_t>> OutputFile::open_append_no_follow(const std::filesystem::path& path,
                                                                                 std::uint64_t keep_at_most) {
    Descriptor fd(open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0644));
    if (!fd.valid()) return std::unexpected(OsError::last());
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(OsError::last());
    if (!S_ISREG(st.st_mode)) return std::unexpected(OsError::from_code(S_ISDIR(st.st_mode) ? EISDIR : EINVAL));
    if (st.st_nlink > 1) return std::unexpected(OsError::from_code(EMLINK));
    std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    if (size > keep_at_most) {
        if (retry_on_eintr([&] { return ::ftruncate(fd.get(), static_cast<off_t>(keep_at_most)); }) != 0) {
            return std::unexpected(OsError::last());
        }
        size = keep_at_most;
    }
    if (::lseek(fd.get(), static_cast<off_t>(size), SEEK_SET) < 0) return std::unexpected(OsError::last());
    return std::pair{OutputFile(fd.release()), size};
}

OsResult<void> OutputFile::write_all(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n =
            retry_on_eintr([&] { return ::write(static_cast<int>(handle_.get()), bytes.data(), bytes.size()); });
        if (n < 0) return std::unexpected(OsError::last());
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

OsResult<void> OutputFile::flush() {
    if (::fsync(static_cast<int>(handle_.get())) != 0) return std::unexpected(OsError::last());
    return {};
}

void OutputFile::start_write_back() {
    // The whole file (length 0: to its end); write-back begins, nothing is
    // waited for. A file system without it reports an error, ignored: the
    // later fsync does all the work then.
    (void)::sync_file_range(static_cast<int>(handle_.get()), 0, 0, SYNC_FILE_RANGE_WRITE);
}

OsResult<void> rename_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(OsError::last());
    // Make the new directory entry durable; the rename itself has happened.
    (void)sync_parent(to);
    return {};
}

OsResult<void> rename_replace_write_through(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(OsError::last());
    return sync_parent(to);
}

OsResult<void> remove_entry(const std::filesystem::path& path) {
    // unlink removes a link itself, never what it names, and refuses a
    // directory.
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return {};
    return std::unexpected(OsError::last());
}

OsResult<void> copy_file_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
    // Done here rather than with std::filesystem::copy_file, which reports
    // every failed write (a full disk among them) as a plain I/O error.
    const Descriptor source(open_retrying(from.c_str(), O_RDONLY | O_CLOEXEC, 0));
    if (!source.valid()) return std::unexpected(OsError::last());
    struct stat st {};
    if (::fstat(source.get(), &st) != 0) return std::unexpected(OsError::last());
    if (!S_ISREG(st.st_mode)) return std::unexpected(OsError::from_code(EINVAL));
    const Descriptor target(open_retrying(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777));
    if (!target.valid()) return std::unexpected(OsError::last());
    if (::fchmod(target.get(), st.st_mode & 07777) != 0) return std::unexpected(OsError::last());
    std::vector<char> buffer(256 * 1024);
    for (;;) {
        const ssize_t got = retry_on_eintr([&] { return ::read(source.get(), buffer.data(), buffer.size()); });
        if (got < 0) return std::unexpected(OsError::last());
        if (got == 0) return {};
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = retry_on_eintr(
                [&] { return ::write(target.get(), buffer.data() + done, static_cast<std::size_t>(got - done)); });
            if (put < 0) return std::unexpected(OsError::last());
            done += put;
        }
    }
}

OsResult<void> flush_entry(const std::filesystem::path& path) {
    // Non-blocking, so that opening a FIFO never waits for a writer; a
    // terminal opened here must not become ours.
    const Descriptor fd(open_retrying(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0));
    if (!fd.valid()) return std::unexpected(OsError::last());
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(OsError::last());
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return {};
    if (::fsync(fd.get()) != 0) return std::unexpected(OsError::last());
    return {};
}

OsResult<void> set_hidden(const std::filesystem::path&) { return {}; }

bool is_in_use_refusal(const OsError& error) {
    return !error.message &&
           (error.code == EACCES || error.code == EPERM || error.code == EBUSY || error.code == ETXTBSY);
}

OsError access_denied_error() { return OsError::from_code(EACCES); }

bool is_not_found(const OsError& error) { return !error.message && error.code == ENOENT; }

}  // namespace tessaryndle::platform
