#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "agent/elevation/process.h"
#include "agent/elevation/process_platform.h"
#include "platform/descriptor_posix.h"
#include "platform/os_error.h"

extern char** environ;

namespace tessaryndle::agent {
namespace {

// Elevation on Linux: polkit's pkexec shows the authentication prompt and
// then replaces itself with the program. A fixed path, so that nothing from
// the caller's environment chooses what runs as root.
constexpr const char* PKEXEC = "/usr/bin/pkexec";
// pkexec's exit status when the user dismissed the prompt.
constexpr int PKEXEC_DISMISSED = 126;
// How long a pkexec that has closed its end of the start pipe may take to
// show as ended before it counts as having started the worker.
constexpr auto PKEXEC_EXIT_GRACE = std::chrono::milliseconds(250);

std::string pkexec_path() {
#ifdef TESSARYNDLE_TEST_HOOKS
    // Tests put a stand-in in pkexec's place.
    if (const char* stand_in = std::getenv("TESSARYNDLE_TEST_PKEXEC"); stand_in != nullptr && *stand_in != '\0') {
        return stand_in;
    }
#endif
    return PKEXEC;
}

UpdateError launch_failure(const std::string& why) {
    return UpdateError::installation("launch elevated Windows installer: " + why);
}

UpdateError launch_failure_errno(int code) { return launch_failure(platform::windows_error_text(code)); }

std::filesystem::path from_current_directory(const std::filesystem::path& path) {
    if (path.is_absolute()) return path;
    std::error_code ec;
    const std::filesystem::path current = std::filesystem::current_path(ec);
    return ec ? path : current / path;
}

// Blocks until the write ends of the pipe are all closed.
void wait_for_end_of_file(int fd) {
    char buffer[64];
    while (platform::retry_on_eintr([&] { return ::read(fd, buffer, sizeof buffer); }) > 0) {}
}

}  // namespace

namespace process_detail {

ProbeOutcome create_probe_file(const std::filesystem::path& path) {
    platform::Descriptor probe(
        platform::retry_on_eintr([&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600); }));
    if (!probe.valid()) {
        return errno == EEXIST || errno == EADDRINUSE ? ProbeOutcome::name_taken : ProbeOutcome::failed;
    }
    ::unlink(path.c_str());
    probe.reset();
    return ProbeOutcome::created;
}

platform::OsResult<platform::NativeHandle> open_for_wait(std::uint32_t process_id) {
    // A pid file descriptor refers to this one process even if the number is
    // reused later; it becomes readable when the process ends.
    const long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(process_id), 0);
    if (fd < 0) return std::unexpected(OsError::from_code(errno));
    return platform::NativeHandle(static_cast<std::intptr_t>(fd));
}

// pidfd_open asks for no rights over the process: there is no privilege to
// add.
platform::OsResult<platform::NativeHandle> open_for_wait_as_debugger(std::uint32_t process_id) {
    return open_for_wait(process_id);
}

OsError access_denied() { return OsError::from_code(EACCES); }

bool is_access_denied(const OsError& error) { return error.code == EACCES || error.code == EPERM; }

std::uint32_t wait_for_end(const platform::NativeHandle& process) {
    pollfd watch{static_cast<int>(process.get()), POLLIN, 0};
    const int ready = platform::retry_on_eintr([&] { return ::poll(&watch, 1, -1); });
    if (ready == 1) return 0;
    return ready < 0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(ready);
}

}  // namespace process_detail

Result<ElevatedWorker> launch_elevated_program(const std::filesystem::path& program,
                                               const std::filesystem::path& plan_path,
                                               const std::filesystem::path& result_path) {
    // pkexec starts the program in root's home directory, so relative paths
    // are resolved here, where they were meant.
    const std::string pkexec = pkexec_path();
    std::vector<std::string> arguments = {pkexec,           from_current_directory(program).native(),
                                          "--execute-plan", from_current_directory(plan_path).native(),
                                          "--result",       from_current_directory(result_path).native()};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    // pkexec marks every descriptor above standard error close-on-exec before
    // it replaces itself with the program, so the write end of this pipe
    // closes when the worker starts or when pkexec ends, whichever is first.
    int pipe_fds[2] = {-1, -1};
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return fail(launch_failure_errno(errno));
    platform::Descriptor read_end(pipe_fds[0]);
    platform::Descriptor write_end(pipe_fds[1]);
    // The agent is single-threaded, so no other child can inherit it.
    if (::fcntl(write_end.get(), F_SETFD, 0) != 0) return fail(launch_failure_errno(errno));

    posix_spawn_file_actions_t actions;
    if (const int rc = ::posix_spawn_file_actions_init(&actions); rc != 0) return fail(launch_failure_errno(rc));
    // The worker reports only through its result file; the agent's standard
    // output belongs to the application.
    int rc = ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (rc == 0) rc = ::posix_spawn(&pid, pkexec.c_str(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    write_end.reset();
    if (rc != 0) return fail(launch_failure_errno(rc));

    // Either pkexec has ended (dismissed, refused, or the worker it started
    // has already finished), or the worker runs now. pkexec's process
    // becomes the worker's, so the wait for the worker's result watches it;
    // looking with WNOWAIT leaves it unreaped for that.
    wait_for_end_of_file(read_end.get());
    const auto deadline = std::chrono::steady_clock::now() + PKEXEC_EXIT_GRACE;
    siginfo_t ended{};
    for (;;) {
        ended = siginfo_t{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT) != 0) {
            if (errno == EINTR) continue;
            return fail(launch_failure_errno(errno));
        }
        if (ended.si_pid == pid) break;
        // Still running: the worker has started and is not waited for.
        if (std::chrono::steady_clock::now() >= deadline) {
            return ElevatedWorker(platform::ChildProcess::adopt(pid, static_cast<std::uint32_t>(pid)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const bool exited = ended.si_code == CLD_EXITED;
    // The worker exits with 0 or 1 and has written its result file by then;
    // pkexec's own failures are 127.
    if (exited && (ended.si_status == 0 || ended.si_status == 1)) {
        return ElevatedWorker(platform::ChildProcess::adopt(pid, static_cast<std::uint32_t>(pid)));
    }
    int status = 0;
    static_cast<void>(platform::retry_on_eintr([&] { return ::waitpid(pid, &status, 0); }));
    if (exited && ended.si_status == PKEXEC_DISMISSED) return fail(UpdateError::authorization_cancelled());
    if (exited) return fail(launch_failure("pkexec exited with status " + std::to_string(ended.si_status)));
    return fail(launch_failure("pkexec was ended by signal " + std::to_string(ended.si_status)));
}

}  // namespace tessaryndle::agent
