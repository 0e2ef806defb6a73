#include <unistd.h>
#include <cerrno>
#include <sys/stat.h>

#include "platform/console.h"
#include "platform/descriptor_posix.h"

namespace tessaryndle::platform {

bool write_stdout(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = retry_on_eintr([&] { return ::write(STDOUT_FILENO, bytes.data(), bytes.size()); });
        if (n < 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool flush_stdout() {
    // Writes go straight to the descriptor; only a regular file can be made
    // durable, pipes and terminals have nothing left to flush.
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &st) != 0) return false;
    if (S_ISREG(st.st_mode)) return ::fsync(STDOUT_FILENO) == 0;
    return true;
}

}  // namespace tessaryndle::platform
