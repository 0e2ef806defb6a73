#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "tests/support/inheritable_pipe.h"

namespace tessaryndle::test {

InheritablePipe::InheritablePipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    read_ = ends[0];
    write_ = ends[1];
    if (::fcntl(ends[1], F_SETFD, 0) != 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        throw std::runtime_error("fcntl(F_SETFD) failed");
    }
}

InheritablePipe::~InheritablePipe() {
    close_write_end();
    ::close(static_cast<int>(read_));
}

void InheritablePipe::close_write_end() {
    if (write_ != -1) ::close(static_cast<int>(write_));
    write_ = -1;
}

bool InheritablePipe::wait_for_end_of_output() {
    char chunk[256];
    for (;;) {
        const ssize_t n = ::read(static_cast<int>(read_), chunk, sizeof chunk);
        if (n == 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

}  // namespace tessaryndle::test
