#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client/updater_client.h"
#include "platform/create_process_win.h"
#include "platform/win_handle.h"

namespace tessaryndle::client {
namespace {

constexpr std::string_view OUTPUT_LABEL = "updater agent output";

OsError last_error() { return OsError::from_code(static_cast<std::int64_t>(GetLastError())); }

// Whether the application runs inside a job that lets its children leave:
// a job that kills its processes when it closes would otherwise take the
// agent along when the application exits after "READY".
bool may_break_away_from_job() {
    BOOL in_job = FALSE;
    if (!IsProcessInJob(GetCurrentProcess(), nullptr, &in_job) || !in_job) return false;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof limits, nullptr)) {
        return false;
    }
    const DWORD flags = limits.BasicLimitInformation.LimitFlags;
    return (flags & (JOB_OBJECT_LIMIT_BREAKAWAY_OK | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK)) != 0;
}

}  // namespace

std::uint32_t current_process_id() { return GetCurrentProcessId(); }

Result<UpdateAgent> UpdateAgent::start(const std::filesystem::path& agent_executable,
                                       const std::filesystem::path& plan_path) {
    // The pipe is made without inheritance, and only the agent's end becomes
    // inheritable. Were the read end inheritable even for a moment, a process
    // that another thread of the application starts meanwhile could take it
    // along, read the agent's output and keep the pipe open after the
    // application has gone.
    HANDLE read_raw = nullptr;
    HANDLE write_raw = nullptr;
    if (!CreatePipe(&read_raw, &write_raw, nullptr, 0)) return fail(UpdateError::io(OUTPUT_LABEL, last_error()));
    platform::UniqueHandle read_end(read_raw);
    const platform::UniqueHandle write_end(write_raw);
    if (!SetHandleInformation(write_end.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        return fail(UpdateError::io(OUTPUT_LABEL, last_error()));
    }
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const platform::UniqueHandle null_device(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                                         FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                                         OPEN_EXISTING, 0, nullptr));
    if (!null_device.valid()) return fail(UpdateError::io("NUL", last_error()));

    // Only the pipe and the null device are inherited: a handle of the
    // application's that the agent kept open would outlive the application.
    const platform::InheritedHandles inherited({write_end.get(), null_device.get()});
    if (inherited.list() == nullptr) return fail(UpdateError::io(OUTPUT_LABEL, last_error()));
    platform::ProcessStart start;
    start.input = null_device.get();
    start.output = write_end.get();
    start.error = null_device.get();
    start.only_inherited = &inherited;
    if (may_break_away_from_job()) start.flags |= CREATE_BREAKAWAY_FROM_JOB;

    // No environment block and no directory of our own: the agent gets the
    // application's.
    const std::vector<std::wstring> arguments{L"--install-plan", plan_path.native()};
    auto started = platform::create_process(agent_executable, arguments, start);
    if (!started) return fail(UpdateError::io(agent_executable, started.error()));
    return UpdateAgent(reinterpret_cast<std::intptr_t>(started->process.release()),
                       reinterpret_cast<std::intptr_t>(read_end.release()), started->id);
}

Result<std::size_t> UpdateAgent::read_output() {
    char chunk[512];
    DWORD n = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(output_.get()), chunk, sizeof chunk, &n, nullptr)) {
        // Every writer has closed its end: the output has ended.
        if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
        return fail(UpdateError::io(OUTPUT_LABEL, last_error()));
    }
    buffer_.append(chunk, n);
    return static_cast<std::size_t>(n);
}

std::optional<std::uint32_t> UpdateAgent::wait_for_exit(std::chrono::milliseconds timeout) {
    if (exit_code_ || !process_.valid()) return exit_code_;
    const HANDLE process = reinterpret_cast<HANDLE>(process_.get());
    const auto milliseconds = static_cast<DWORD>(std::min<long long>(timeout.count(), INFINITE - 1));
    if (WaitForSingleObject(process, milliseconds) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) return std::nullopt;
    exit_code_ = code;
    return exit_code_;
}

void UpdateAgent::terminate() {
    if (process_.valid() && !exit_code_) TerminateProcess(reinterpret_cast<HANDLE>(process_.get()), 1);
}

}  // namespace tessaryndle::client
