#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <sys/mman.h>
#include <sys/stat.h>

#include "platform/descriptor_posix.h"
#include "platform/mapped_file.h"

namespace tessaryndle::platform {

OsResult<MappedFile> MappedFile::open(const std::filesystem::path& path) {
    // O_NONBLOCK: a FIFO in the file's place must not stall the open; it then
    // fails at the mapping.
    const Descriptor fd(
        retry_on_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); }));
    if (!fd.valid()) return std::unexpected(OsError::last());
    return map_handle(fd.get());
}

OsResult<MappedFile> MappedFile::map_handle(std::intptr_t handle) {
    const int fd = static_cast<int>(handle);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::unexpected(OsError::last());
    const auto size = static_cast<std::size_t>(st.st_size);
    // mmap refuses a zero length with EINVAL.
    void* view = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) return std::unexpected(OsError::last());
    return MappedFile(static_cast<const std::uint8_t*>(view), size);
}

void MappedFile::release() noexcept {
    if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
    data_ = nullptr;
    size_ = 0;
}

}  // namespace tessaryndle::platform
