#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/create_process_win.h"
#include "platform/process.h"
#include "platform/win_handle.h"

namespace tessaryndle::platform {

OsResult<std::filesystem::path> own_executable_path() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0) return std::unexpected(OsError::from_code(static_cast<std::int64_t>(GetLastError())));
        // A path that does not fit is cut to the buffer's size (and, on
        // current systems, ERROR_INSUFFICIENT_BUFFER is set).
        if (length < size && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return std::filesystem::path(std::wstring(buffer.data(), length));
        }
        if (buffer.size() >= 0x10000) {
            return std::unexpected(OsError::from_code(ERROR_INSUFFICIENT_BUFFER));
        }
        buffer.resize(buffer.size() * 2);
    }
}

namespace {

// The lpCurrentDirectory of a start: null for ours.
const wchar_t* directory_or_ours(const std::filesystem::path& working_directory) {
    return working_directory.empty() ? nullptr : working_directory.c_str();
}

}  // namespace

OsResult<void> start_executable(const std::filesystem::path& program, const std::vector<NativeString>& arguments,
                                const std::filesystem::path& working_directory) {
    // No environment block of our own: the child gets the caller's
    // environment and standard handles. It runs on its own; nothing here
    // waits for it, and both of its handles are closed on return.
    ProcessStart start;
    start.input = GetStdHandle(STD_INPUT_HANDLE);
    start.output = GetStdHandle(STD_OUTPUT_HANDLE);
    start.error = GetStdHandle(STD_ERROR_HANDLE);
    start.directory = directory_or_ours(working_directory);
    if (auto started = create_process(program, arguments, start); !started) return std::unexpected(started.error());
    return {};
}

namespace {

HANDLE as_handle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
std::intptr_t as_value(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }
OsError last_os_error() { return OsError::from_code(static_cast<std::int64_t>(GetLastError())); }

// An inheritable handle to the null device.
UniqueHandle open_null_device(DWORD access) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return UniqueHandle(
        CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
}

}  // namespace

OsResult<void> ChildProcess::end_with_this_process() {
    if (!process_.valid()) return std::unexpected(OsError::from_code(ERROR_INVALID_HANDLE));
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job.valid()) return std::unexpected(last_os_error());
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job.get(), as_handle(process_.get()))) {
        return std::unexpected(last_os_error());
    }
    job_.reset(as_value(job.release()));
    return {};
}

void end_with_parent() {}

void end_own_process_now(std::uint32_t status) {
    TerminateProcess(GetCurrentProcess(), status);
    // TerminateProcess on the calling process does not return; should it
    // ever fail, ending is still better than going on.
    ExitProcess(status);
}

OsResult<void> ChildProcess::terminate() {
    // A moved-from object holds -1, which as a handle would name this
    // process.
    if (!process_.valid()) return std::unexpected(OsError::from_code(ERROR_INVALID_HANDLE));
    if (!TerminateProcess(as_handle(process_.get()), 1)) return std::unexpected(last_os_error());
    return {};
}

bool ChildProcess::has_ended() const {
    if (!process_.valid()) return false;
    return WaitForSingleObject(as_handle(process_.get()), 0) == WAIT_OBJECT_0;
}

OsResult<std::uint32_t> ChildProcess::wait() {
    if (!process_.valid()) return std::unexpected(OsError::from_code(ERROR_INVALID_HANDLE));
    if (WaitForSingleObject(as_handle(process_.get()), INFINITE) != WAIT_OBJECT_0) {
        return std::unexpected(last_os_error());
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(as_handle(process_.get()), &code)) return std::unexpected(last_os_error());
    return static_cast<std::uint32_t>(code);
}

OsResult<ChildProcess> start_process_with_null_stdio(const std::filesystem::path& program,
                                                     const std::vector<NativeString>& arguments,
                                                     const std::filesystem::path& working_directory) {
    const UniqueHandle input = open_null_device(GENERIC_READ);
    const UniqueHandle output = open_null_device(GENERIC_WRITE);
    const UniqueHandle error = open_null_device(GENERIC_WRITE);
    if (!input.valid() || !output.valid() || !error.valid()) return std::unexpected(last_os_error());

    // The three null-device handles are all the child inherits. Any other
    // inheritable handle of ours would stay open in it for as long as it
    // runs: in the agent, the standard output it got from the application
    // (the pipe the application reads until every writer has closed it).
    const InheritedHandles inherited({input.get(), output.get(), error.get()});
    if (inherited.list() == nullptr) return std::unexpected(last_os_error());
    ProcessStart start;
    start.input = input.get();
    start.output = output.get();
    start.error = error.get();
    start.directory = directory_or_ours(working_directory);
    start.only_inherited = &inherited;
    auto started = create_process(program, arguments, start);
    if (!started) return std::unexpected(started.error());
    // The child holds its own copies of the null-device handles now; ours
    // close when this function returns.
    return ChildProcess(as_value(started->process.release()), as_value(started->thread.release()), started->id);
}

}  // namespace tessaryndle::platform
