#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <sys/stat.h>

#include <string>

#include "platform/descriptor_posix.h"
#include "platform/input_file.h"

namespace tessaryndle::platform {
namespace {

int descriptor(const NativeHandle& handle) { return static_cast<int>(handle.get()); }

}  // namespace

OsResult<InputFile> InputFile::open_no_follow(const std::filesystem::path& path) {
    // O_NONBLOCK: a FIFO in the file's place must not stall the open.
    const int fd =
        retry_on_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
    if (fd < 0) return std::unexpected(OsError::last());
    InputFile file(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::unexpected(OsError::last());
    if (!S_ISREG(st.st_mode)) return std::unexpected(OsError::from_code(S_ISDIR(st.st_mode) ? EISDIR : EINVAL));
    return file;
}

OsResult<std::uint64_t> InputFile::size() const {
    struct stat st {};
    if (::fstat(descriptor(handle_), &st) != 0) return std::unexpected(OsError::last());
    return static_cast<std::uint64_t>(st.st_size);
}

OsResult<std::size_t> InputFile::read_some_at(std::uint64_t offset, std::span<std::uint8_t> into) const {
    const ssize_t n = retry_on_eintr(
        [&] { return ::pread(descriptor(handle_), into.data(), into.size(), static_cast<off_t>(offset)); });
    if (n < 0) return std::unexpected(OsError::last());
    return static_cast<std::size_t>(n);
}

OsError InputFile::end_of_file_error() { return OsError::from_code(EIO); }

OsResult<std::intptr_t> InputFile::duplicate_native_handle() const {
    const int fd = ::fcntl(descriptor(handle_), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return std::unexpected(OsError::last());
    return fd;
}

OsResult<std::intptr_t> InputFile::reopen_native_handle() const {
    const std::string own = "/proc/self/fd/" + std::to_string(descriptor(handle_));
    const int fd = retry_on_eintr([&] { return ::open(own.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC); });
    if (fd < 0) return std::unexpected(OsError::last());
    return fd;
}

}  // namespace tessaryndle::platform
