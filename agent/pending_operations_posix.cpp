// TEMPORARY STAND-INS (see pending_operations.cpp), POSIX side.

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "agent/process.h"

namespace tessaryndle::agent {

Result<void> wait_for_application_exit(std::uint32_t process_id) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(process_id), 0));
    if (fd < 0) {
        return fail(UpdateError::installation("open application process: " + OsError::from_code(errno).display()));
    }
    pollfd pfd{fd, POLLIN, 0};
    while (::poll(&pfd, 1, -1) < 0 && errno == EINTR) {}
    ::close(fd);
    return {};
}

Result<void> launch_elevated_worker(const std::filesystem::path&, const std::filesystem::path&) {
    return fail(UpdateError::installation("launch elevated Windows installer: pkexec is not available"));
}

}  // namespace tessaryndle::agent
