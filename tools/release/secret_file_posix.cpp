#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/descriptor_posix.h"
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

}  // namespace tessaryndle::release
