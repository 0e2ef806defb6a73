#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "tests/support/piped_child.h"

extern char** environ;

namespace tessaryndle::test {

struct PipedChild::Handles {
    int read_fd = -1;
};

PipedChild::PipedChild(const std::filesystem::path& program, const std::vector<NativeString>& arguments)
    : handles_(std::make_unique<Handles>()) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    std::vector<std::string> storage{program.string()};
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        throw std::runtime_error(std::string("cannot start ") + program.string() + ": " + std::strerror(rc));
    }
    handles_->read_fd = fds[0];
    pid_ = static_cast<std::uint32_t>(pid);
}

PipedChild::~PipedChild() {
    if (handles_->read_fd >= 0) ::close(handles_->read_fd);
}

std::size_t PipedChild::read_some(std::span<char> into) {
    for (;;) {
        const ssize_t n = ::read(handles_->read_fd, into.data(), into.size());
        if (n < 0 && errno == EINTR) continue;
        return n <= 0 ? 0 : static_cast<std::size_t>(n);
    }
}

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(::getpid()); }

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
