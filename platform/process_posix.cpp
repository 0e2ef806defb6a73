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

namespace {

// posix_spawn's file actions for a start: the standard handles on
// /dev/null and nothing else when asked, and the working directory when one
// is given.
// Destroyed exactly once.
class SpawnActions {
public:
    SpawnActions() {
        rc_ = ::posix_spawn_file_actions_init(&actions_);
        initialised_ = rc_ == 0;
    }
    ~SpawnActions() {
        if (initialised_) ::posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;

    void null_stdio() {
        add(::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0));
        add(::posix_spawn_file_actions_addopen(&actions_, STDOUT_FILENO, "/dev/null", O_WRONLY, 0));
        add(::posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY, 0));
        // Nothing but the three: a descriptor of ours left open without
        // FD_CLOEXEC (in the agent, one the application passed on) would stay
        // open in the child for as long as it runs.
        add(::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1));
    }
    void working_directory(const std::filesystem::path& directory) {
        if (!directory.empty()) add(::posix_spawn_file_actions_addchdir_np(&actions_, directory.c_str()));
    }
    // 0, or the error of the first action that could not be added.
    [[nodiscard]] int error() const { return rc_; }
    [[nodiscard]] const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    void add(int rc) {
        if (rc_ == 0) rc_ = rc;
    }
    posix_spawn_file_actions_t actions_{};
    int rc_ = 0;
    bool initialised_ = false;
};

// The program as spawned: a relative one is taken from our own working
// directory, as CreateProcessW does, even when the child gets another.
std::string spawned_program(const std::filesystem::path& program, const std::filesystem::path& working_directory) {
    if (working_directory.empty() || program.is_absolute()) return program.native();
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(program, ec);
    return ec ? program.native() : absolute.native();
}

}  // namespace

OsResult<void> start_executable(const std::filesystem::path& program, const std::vector<NativeString>& arguments,
                                const std::filesystem::path& working_directory) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    std::string program_text = spawned_program(program, working_directory);
    argv.push_back(program_text.data());
    std::vector<std::string> copies(arguments.begin(), arguments.end());
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);

    SpawnActions actions;
    actions.working_directory(working_directory);
    if (actions.error() != 0) return std::unexpected(OsError::from_code(actions.error()));
    // glibc reports a failed exec (missing file, no permission, not an
    // executable) and a failed change of directory as posix_spawn's result.
    // The child is never waited for: when this process exits it is handed
    // to init.
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, program_text.c_str(), actions.get(), nullptr, argv.data(), environ);
    if (rc != 0) return std::unexpected(OsError::from_code(rc));
    return {};
}

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
    if (process_.get() < 0) return std::unexpected(OsError::from_code(ESRCH));
    if (::kill(static_cast<pid_t>(process_.get()), SIGKILL) != 0) return std::unexpected(OsError::from_code(errno));
    return {};
}

bool ChildProcess::has_ended() const {
    if (process_.get() < 0) return false;
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(process_.get()), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    // With WNOHANG a child that still runs leaves si_pid at zero.
    return info.si_pid != 0;
}

OsResult<std::uint32_t> ChildProcess::wait() {
    if (process_.get() < 0) return std::unexpected(OsError::from_code(ECHILD));
    int status = 0;
    if (retry_on_eintr([&] { return ::waitpid(static_cast<pid_t>(process_.get()), &status, 0); }) < 0) {
        return std::unexpected(OsError::from_code(errno));
    }
    process_.reset();
    if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
    return static_cast<std::uint32_t>(128 + WTERMSIG(status));
}

OsResult<ChildProcess> start_process_with_null_stdio(const std::filesystem::path& program,
                                                     const std::vector<NativeString>& arguments,
                                                     const std::filesystem::path& working_directory) {
    std::string program_text = spawned_program(program, working_directory);
    std::vector<std::string> copies(arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(copies.size() + 2);
    argv.push_back(program_text.data());
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);

    SpawnActions actions;
    actions.null_stdio();
    actions.working_directory(working_directory);
    if (actions.error() != 0) return std::unexpected(OsError::from_code(actions.error()));
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, program_text.c_str(), actions.get(), nullptr, argv.data(), environ);
    if (rc != 0) return std::unexpected(OsError::from_code(rc));
    return ChildProcess(pid, -1, static_cast<std::uint32_t>(pid));
}

}  // namespace tessaryndle::platform
