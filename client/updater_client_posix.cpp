#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client/updater_client.h"
#include "platform/descriptor_posix.h"

extern char** environ;

namespace tessaryndle::client {
namespace {

constexpr std::string_view OUTPUT_LABEL = "updater agent output";
constexpr std::chrono::milliseconds EXIT_POLL{10};

// posix_spawn's file actions and attributes, destroyed on every path out.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

std::uint32_t exit_code_of(int status) {
    if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
    return 1;
}

}  // namespace

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(::getpid()); }

Result<UpdateAgent> UpdateAgent::start(const std::filesystem::path& agent_executable,
                                       const std::filesystem::path& plan_path) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return fail(UpdateError::io(OUTPUT_LABEL, OsError::last()));
    platform::Descriptor read_end(ends[0]);
    const platform::Descriptor write_end(ends[1]);

    // The agent gets the pipe as its standard output, the null device for the
    // rest, and nothing else of ours: a descriptor of the application's that
    // it kept open would outlive the application. Its own session keeps a
    // hang-up or interrupt meant for the application from reaching it.
    SpawnSetup setup;
    if (posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) != 0 ||
        posix_spawn_file_actions_adddup2(&setup.actions, write_end.get(), STDOUT_FILENO) != 0 ||
        posix_spawn_file_actions_addopen(&setup.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0) != 0 ||
        posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1) != 0 ||
        posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSID) != 0) {
        return fail(UpdateError::io(OUTPUT_LABEL, OsError::last()));
    }

    std::string program = agent_executable.native();
    std::string option = "--install-plan";
    std::string plan = plan_path.native();
    char* argv[] = {program.data(), option.data(), plan.data(), nullptr};
    pid_t pid = 0;
    // glibc reports a failed exec (missing file, no permission, not a
    // program) as posix_spawn's result.
    const int started = ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv, environ);
    if (started != 0) return fail(UpdateError::io(agent_executable, OsError::from_code(started)));
    return UpdateAgent(pid, read_end.release(), static_cast<std::uint32_t>(pid));
}

Result<std::size_t> UpdateAgent::read_output() {
    char chunk[512];
    const ssize_t n =
        platform::retry_on_eintr([&] { return ::read(static_cast<int>(output_.get()), chunk, sizeof chunk); });
    if (n < 0) return fail(UpdateError::io(OUTPUT_LABEL, OsError::last()));
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return static_cast<std::size_t>(n);
}

std::optional<std::uint32_t> UpdateAgent::wait_for_exit(std::chrono::milliseconds timeout) {
    if (exit_code_ || process_.get() < 0) return exit_code_;
    const auto pid = static_cast<pid_t>(process_.get());
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t reaped = platform::retry_on_eintr([&] { return ::waitpid(pid, &status, WNOHANG); });
        if (reaped == pid) {
            exit_code_ = exit_code_of(status);
            process_.reset();
            return exit_code_;
        }
        // Reaped elsewhere (a SIGCHLD handler of the application's): the
        // exit code is gone.
        if (reaped < 0) {
            process_.reset();
            return std::nullopt;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(EXIT_POLL);
    }
}

void UpdateAgent::terminate() {
    // While unreaped, the pid cannot name another process.
    if (process_.get() >= 0) ::kill(static_cast<pid_t>(process_.get()), SIGKILL);
}

}  // namespace tessaryndle::client
