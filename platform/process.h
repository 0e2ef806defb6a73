#pragma once
// Starting programs and finding our own executable.

#include <cstdint>
#include <filesystem>
#include <vector>

#include "platform/files.h"
#include "platform/native_handle.h"
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
// never reads its exit status. The child inherits the environment and the
// standard handles, and the current working directory unless
// `working_directory` names one (a relative `program` is always taken from
// our own). On Windows: CreateProcessW with `program` as the application
// name and the command line of windows_command_line(), handle inheritance
// on, creation flags CREATE_UNICODE_ENVIRONMENT only; both returned handles
// are closed at once. Elsewhere posix_spawn. Fails with the operating-system
// error of the start (file not found, access denied, not an executable, a
// working directory that cannot be entered).
[[nodiscard]] OsResult<void> start_executable(const std::filesystem::path& program,
                                              const std::vector<NativeString>& arguments,
                                              const std::filesystem::path& working_directory = {});

// A started child process owned by this process. Its handles (Windows: the
// process and thread handles) are closed exactly once, by the destructor;
// destruction neither terminates nor waits for the child.
class ChildProcess {
public:
    // Takes ownership of a process that was started by other means (the
    // shell's elevated start; a spawned child): on Windows `process` is its
    // process handle, elsewhere its pid, which must be an unreaped child of
    // this process.
    [[nodiscard]] static ChildProcess adopt(std::intptr_t process, std::uint32_t id) {
        return ChildProcess(process, -1, id);
    }

    ChildProcess(ChildProcess&& other) noexcept = default;
    ChildProcess& operator=(ChildProcess&& other) noexcept = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() = default;

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
    // Whether the child has ended, without waiting: WaitForSingleObject
    // with a zero time-out; elsewhere waitid with WNOWAIT, which leaves the
    // child to wait() as before. False when that cannot be told (a failed
    // call, a moved-from object).
    [[nodiscard]] bool has_ended() const;
    // Ties the child's life to this process's, so that a crash or a kill of
    // this process cannot leave it running. On Windows the child goes into a
    // job object that ends its processes when its last handle closes; this
    // object holds that handle, so from then on its destruction (or the end
    // of this process) also ends the child. Elsewhere nothing happens here:
    // the child asks for it itself (end_with_parent). On failure the child
    // runs on as before.
    [[nodiscard]] OsResult<void> end_with_this_process();

private:
    friend OsResult<ChildProcess> start_process_with_null_stdio(const std::filesystem::path& program,
                                                                const std::vector<NativeString>& arguments,
                                                                const std::filesystem::path& working_directory);
    ChildProcess(std::intptr_t process, std::intptr_t thread, std::uint32_t id)
        : process_(process), thread_(thread), id_(id) {}

    // Windows: the process and thread handles. Elsewhere process_ holds the
    // pid while the child is unreaped (empty after wait) and thread_ is
    // unused. Closing the job's handle ends the child when it was tied to us.
    NativeProcess process_;
    NativeHandle thread_;
    NativeHandle job_;  // Windows, once tied by end_with_this_process
    std::uint32_t id_ = 0;
};

// In a child process: asks to be ended when the process that started it
// ends. Natively prctl(PR_SET_PDEATHSIG, SIGKILL), and an end at once when
// that process is already gone; on Windows nothing (the parent ties the
// child with ChildProcess::end_with_this_process).
void end_with_parent();

// Starts `program` with `arguments` (the program itself not included), its
// standard input, output and error on the null device (NUL, /dev/null), and
// no other handle or descriptor of ours. The child inherits the environment,
// and the working directory unless `working_directory` names one (as for
// start_executable). On Windows: CreateProcessW with `program` as the
// application name and the command line of windows_command_line(), three
// inheritable handles to NUL (read for input, write for output and error) in
// its startup information and as its whole handle list
// (PROC_THREAD_ATTRIBUTE_HANDLE_LIST, with EXTENDED_STARTUPINFO_PRESENT
// beside CREATE_UNICODE_ENVIRONMENT). Elsewhere posix_spawn, closing every
// descriptor above standard error in the child. Fails with the
// operating-system error of the start (or of making the handle list).
[[nodiscard]] OsResult<ChildProcess> start_process_with_null_stdio(const std::filesystem::path& program,
                                                                   const std::vector<NativeString>& arguments,
                                                                   const std::filesystem::path& working_directory = {});

}  // namespace tessaryndle::platform
