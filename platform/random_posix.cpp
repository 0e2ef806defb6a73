#include <sys/random.h>

#include <cerrno>

#include "platform/random.h"

namespace tessaryndle::platform {

OsResult<void> system_random_bytes(std::span<std::uint8_t> out) {
    // getrandom may return fewer bytes than asked for large requests, and
    // fails with EINTR when a signal arrives first.
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t n = ::getrandom(out.data() + filled, out.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(OsError::last());
        }
        filled += static_cast<std::size_t>(n);
    }
    return {};
}

}  // namespace tessaryndle::platform
