#pragma once
// Starting programs and finding our own executable.

#include <cstdint>
#include <filesystem>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"

namespace tessaryndle::platform {

// The full path of the running program's executable: GetModuleFileNameW on
// the process's own module, retried with a larger buffer until the path
// fits; elsewhere the target of /proc/self/exe.
[[nodiscard]] OsResult<std::filesystem::path> own_executable_path();

// Ends this process at once with exit status `status`, the way a crash or a
// power cut would end it: no destructors, no exit handlers, no buffered
// output flushed, no library clean-up. On Windows TerminateProcess on the
// process itself (ExitProcess would still run the libraries' detach code);
// elsewhere _exit, after which the kernel does exactly what it does for
// SIGKILL, while the status stays visible to whoever waits.
[[noreturn]] void end_own_process_now(std::uint32_t status);

// Starts one process running `program` with `arguments` (the program itself
// not included) and returns as soon as it runs; it never waits for it and
// never reads its exit status. The child inherits the environment, the
// current working directory and the standard handles. On Windows:
// CreateProcessW with `program` as the application name and the command
// line of windows_command_line(), handle inheritance on, creation flags
// CREATE_UNICODE_ENVIRONMENT only; both returned handles are closed at once.
// Elsewhere posix_spawn. Fails with the operating-system error of the start
// (file not found, access denied, not an executable).
[[nodiscard]] OsResult<void> start_executable(const std::filesystem::path& program,
                                              const std::vector<NativeString>& arguments);

// A started child process owned by this process. Its handles (Windows: the
// process and thread handles) are closed exactly once, by the destructor;
// destruction neither terminates nor waits for the child.
class ChildProcess {
public:
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // The child's process identifier.
    [[nodiscard]] std::uint32_t id() const { return id_; }

    // Ends the child forcibly: TerminateProcess with exit code 1; elsewhere
    // SIGKILL. Fails (access denied on Windows) when the child has already
    // ended; never acts once wait() has returned.
    [[nodiscard]] OsResult<void> terminate();
    // Waits without a time limit until the child has ended and returns its
    // exit code (WaitForSingleObject with INFINITE, then
    // GetExitCodeProcess; elsewhere waitpid, a child ended by a signal
    // giving 128 + the signal's number). Natively the child is reaped, so a
    // second call fails.
    [[nodiscard]] OsResult<std::uint32_t> wait();

private:
    friend OsResult<ChildProcess> start_process_with_null_stdio(const std::filesystem::path& program,
                                                                const std::vector<NativeString>& arguments);
    ChildProcess(std::intptr_t process, std::intptr_t thread, std::uint32_t id)
        : process_(process), thread_(thread), id_(id) {}
    void close();

    // Windows: the process and thread handles. Elsewhere process_ holds the
    // pid while the child is unreaped (-1 after wait) and thread_ is unused.
    std::intptr_t process_ = -1;
    std::intptr_t thread_ = -1;
    std::uint32_t id_ = 0;
};

// Starts `program` with `arguments` (the program itself not included), its
// standard input, output and error on the null device (NUL, /dev/null). The
// child inherits the environment and the working directory. On Windows:
// CreateProcessW with `program` as the application name and the command line
// of windows_command_line(), handle inheritance on, creation flags
// CREATE_UNICODE_ENVIRONMENT only, and three inheritable handles to NUL (read
// for input, write for output and error) in its startup information.
// Elsewhere posix_spawn. Fails with the operating-system error of the start.
[[nodiscard]] OsResult<ChildProcess> start_process_with_null_stdio(const std::filesystem::path& program,
                                                                   const std::vector<NativeString>& arguments);

}  // namespace tessaryndle::platform
