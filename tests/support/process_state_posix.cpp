#include <poll.h>
#include <signal.h>
#include <unistd.h>
#include <sys/syscall.h>

#include <cerrno>

#include "tests/support/process_state.h"

namespace tessaryndle::test {

bool process_has_ended(std::uint32_t id) { return ::kill(static_cast<pid_t>(id), 0) != 0 && errno == ESRCH; }

bool wait_for_process_end(std::uint32_t pid, std::uint32_t timeout_ms) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (fd < 0) return true;
    pollfd pfd{fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&pfd, 1, static_cast<int>(timeout_ms));
    } while (ready < 0 && errno == EINTR);
    ::close(fd);
    return ready > 0;
}

}  // namespace tessaryndle::test
