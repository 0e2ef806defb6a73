#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "tests/support/run_program.h"

extern char** environ;

namespace tessaryndle::test {

RunResult run_program(const std::filesystem::path& program, const RunOptions& options) {
    RunResult result;

    // Environment: ours, with additions replacing and removals dropped.
    std::vector<std::string> env_storage;
    std::set<std::string> overridden;
    for (const auto& [k, v] : options.environment) overridden.insert(k);
    for (const auto& k : options.unset_environment) overridden.insert(k);
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        const auto eq = entry.find('=');
        if (eq != std::string::npos && overridden.count(entry.substr(0, eq))) continue;
        env_storage.push_back(entry);
    }
    for (const auto& [k, v] : options.environment) env_storage.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : env_storage) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::vector<std::string> arg_storage;
    arg_storage.push_back(program.string());
    for (const auto& a : options.arguments) arg_storage.push_back(a);
    std::vector<char*> argv;
    for (auto& a : arg_storage) argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipe_fds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.capture_stdout) {
        if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
            result.start_error = std::strerror(errno);
            return result;
        }
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    if (!options.stderr_file.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.stderr_file.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (!options.working_directory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.working_directory.c_str());
    }

    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (options.capture_stdout) ::close(pipe_fds[1]);
    if (rc != 0) {
        result.start_error = std::strerror(rc);
        if (options.capture_stdout) ::close(pipe_fds[0]);
        return result;
    }

    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    if (options.capture_stdout) {
        char buffer[4096];
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                result.timed_out = true;
                break;
            }
            pollfd pfd{pipe_fds[0], POLLIN, 0};
            const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) continue;
            const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            result.stdout_bytes.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(pipe_fds[0]);
    }

    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timed_out = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return result;
        }
        ::usleep(2000);
    }
    if (result.timed_out) return result;
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    return result;
}

}  // namespace tessaryndle::test
