#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/descriptor_posix.h"
#include "platform/process.h"

extern char** environ;

namespace tessaryndle::platform {

OsResult<std::filesystem::path> own_executable_path() {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) return std::unexpected(OsError::from_code(errno));
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            return std::filesystem::path(std::move(buffer));
        }
        buffer.resize(buffer.size() * 2);
    }
}

OsResult<void> start_executable(const std::filesystem::path& program, const std::vector<NativeString>& arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    std::string program_text = program.native();
    argv.push_back(program_text.data());
    std::vector<std::string> copies(arguments.begin(), arguments.end());
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);

    // glibc reports a failed exec (missing file, no permission, not an
    // executable) as posix_spawn's result. The child is never waited for:
    // when this process exits it is handed to init.
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, program_text.c_str(), nullptr, nullptr, argv.data(), environ);
    if (rc != 0) return std::unexpected(OsError::from_code(rc));
    return {};
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : process_(std::exchange(other.process_, -1)), thread_(-1), id_(other.id_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        close();
        process_ = std::exchange(other.process_, -1);
        id_ = other.id_;
    }
    return *this;
}

ChildProcess::~ChildProcess() { close(); }

// A pid holds no resource of ours; an unreaped child is handed to init when
// this process exits.
void ChildProcess::close() { process_ = -1; }

void end_own_process_now(std::uint32_t status) { ::_exit(static_cast<int>(status)); }

OsResult<void> ChildProcess::end_with_this_process() { return {}; }

void end_with_parent() {
    // posix_spawn cannot ask this for the child, so the child asks. A parent
    // that ended before the request has handed us to init (or a subreaper).
    const pid_t parent = ::getppid();
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return;
    if (::getppid() != parent || parent == 1) ::_exit(1);
}

OsResult<void> ChildProcess::terminate() {
    // Until it is reaped the pid stays ours (a zombie keeps it), so the
    // signal cannot reach a stranger that reused the number.
    if (process_ < 0) return std::unexpected(OsError::from_code(ESRCH));
    if (::kill(static_cast<pid_t>(process_), SIGKILL) != 0) return std::unexpected(OsError::from_code(errno));
    return {};
}

OsResult<std::uint32_t> ChildProcess::wait() {
    if (process_ < 0) return std::unexpected(OsError::from_code(ECHILD));
    int status = 0;
    if (retry_on_eintr([&] { return ::waitpid(static_cast<pid_t>(process_), &status, 0); }) < 0) {
        return std::unexpected(OsError::from_code(errno));
    }
    process_ = -1;
    if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
    return static_cast<std::uint32_t>(128 + WTERMSIG(status));
}

OsResult<ChildProcess> start_process_with_null_stdio(const std::filesystem::path& program,
                                                     const std::vector<NativeString>& arguments) {
    std::string program_text = program.native();
    std::vector<std::string> copies(arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(copies.size() + 2);
    argv.push_back(program_text.data());
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (const int rc = ::posix_spawn_file_actions_init(&actions); rc != 0) {
        return std::unexpected(OsError::from_code(rc));
    }
    int rc = ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Nothing but the three: a descriptor of ours left open without
    // FD_CLOEXEC (in the agent, one the application passed on) would stay
    // open in the child for as long as it runs.
    if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    pid_t pid = 0;
    if (rc == 0) rc = ::posix_spawn(&pid, program_text.c_str(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return std::unexpected(OsError::from_code(rc));
    return ChildProcess(pid, -1, static_cast<std::uint32_t>(pid));
}

}  // namespace tessaryndle::platform
