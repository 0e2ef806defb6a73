#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/mapped_file.h"

namespace tessaryndle::platform {
namespace {

// Closes the descriptor on every path out of open().
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    [[nodiscard]] int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

OsResult<MappedFile> MappedFile::open(const std::filesystem::path& path) {
    int raw;
    do {
        // O_NONBLOCK: a FIFO in the file's place must not stall the open; it
        // then fails at the mapping.
        raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) return std::unexpected(OsError::last());
    const Descriptor fd(raw);

    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(OsError::last());
    const auto size = static_cast<std::size_t>(st.st_size);
    // mmap refuses a zero length with EINVAL.
    void* view = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (view == MAP_FAILED) return std::unexpected(OsError::last());
    return MappedFile(static_cast<const std::uint8_t*>(view), size);
}

void MappedFile::release() noexcept {
    if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
    data_ = nullptr;
    size_ = 0;
}

}  // namespace tessaryndle::platform
