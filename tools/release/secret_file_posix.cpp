#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/descriptor_posix.h"
#include "tools/release/key_memory.h"
#include "tools/release/secret_file.h"

namespace tessaryndle::release {

platform::OsResult<void> write_secret_file(const std::filesystem::path& path, std::string_view bytes) {
    constexpr mode_t OWNER_ONLY = S_IRUSR | S_IWUSR;
    platform::Descriptor fd(platform::retry_on_eintr(
        [&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, OWNER_ONLY); }));
    if (!fd.valid()) return std::unexpected(OsError::last());
    // The umask may have taken bits away, never added any; set the mode
    // exactly so that the file is what the contract says.
    const auto written = [&]() -> platform::OsResult<void> {
        if (::fchmod(fd.get(), OWNER_ONLY) != 0) return std::unexpected(OsError::last());
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                platform::retry_on_eintr([&] { return ::write(fd.get(), bytes.data() + done, bytes.size() - done); });
            if (n < 0) return std::unexpected(OsError::last());
            done += static_cast<std::size_t>(n);
        }
        if (::fsync(fd.get()) != 0) return std::unexpected(OsError::last());
        return {};
    }();
    if (!written) {
        fd.reset();
        ::unlink(path.c_str());
        return written;
    }
    if (::close(fd.release()) != 0) return std::unexpected(OsError::last());
    return {};
}

platform::OsResult<std::string> read_secret_file(const std::filesystem::path& path) {
    const platform::Descriptor fd(
        platform::retry_on_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY); }));
    if (!fd.valid()) return std::unexpected(OsError::last());
    // One byte more than the limit tells a file that is too large.
    std::string text(SECRET_FILE_LIMIT + 1, '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n =
            platform::retry_on_eintr([&] { return ::read(fd.get(), text.data() + done, text.size() - done); });
        if (n < 0 || done + static_cast<std::size_t>(n) > SECRET_FILE_LIMIT) {
            const int error = n < 0 ? errno : EFBIG;
            const WipedOnExit wipe(text);
            return std::unexpected(OsError::from_code(error));
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    // Shrinking keeps the block.
    text.resize(done);
    return text;
}

}  // namespace tessaryndle::release
