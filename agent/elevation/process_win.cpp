#include <windows.h>
// after windows.h, which they need
#include <shellapi.h>

#include <userenv.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <string>
#include <utility>

#include "agent/elevation/process.h"
#include "agent/elevation/process_platform.h"
#include "platform/create_process_win.h"
#include "platform/known_folders.h"
#include "platform/os_error.h"
#include "platform/win_handle.h"
#include "platform/working_directory.h"

namespace tessaryndle::agent {
namespace {

OsError last_os_error() { return OsError::from_code(static_cast<std::int64_t>(GetLastError())); }

platform::NativeHandle owned(HANDLE handle) { return platform::NativeHandle(reinterpret_cast<std::intptr_t>(handle)); }

// SeDebugPrivilege enabled in this process's token for as long as it lives,
// then put back as it was (enabled only for the open that needs it: the
// privilege opens every process of the machine).
class EnabledDebugPrivilege {
public:
    // Failure: the OS error; ERROR_NOT_ALL_ASSIGNED when the token does not
    // hold the privilege (AdjustTokenPrivileges then succeeds without
    // enabling it).
    static platform::OsResult<EnabledDebugPrivilege> enable() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
            return std::unexpected(last_os_error());
        }
        EnabledDebugPrivilege enabled(token);
        TOKEN_PRIVILEGES wanted{};
        wanted.PrivilegeCount = 1;
        wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (!LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &wanted.Privileges[0].Luid)) {
            return std::unexpected(last_os_error());
        }
        DWORD size = 0;
        if (!AdjustTokenPrivileges(enabled.token_.get(), FALSE, &wanted, sizeof enabled.previous_, &enabled.previous_,
                                   &size)) {
            return std::unexpected(last_os_error());
        }
        if (const DWORD outcome = GetLastError(); outcome == ERROR_NOT_ALL_ASSIGNED) {
            return std::unexpected(OsError::from_code(outcome));
        }
        enabled.adjusted_ = true;
        return enabled;
    }

    EnabledDebugPrivilege(EnabledDebugPrivilege&& other) noexcept
        : token_(std::move(other.token_)),
          previous_(other.previous_),
          adjusted_(std::exchange(other.adjusted_, false)) {}
    EnabledDebugPrivilege(const EnabledDebugPrivilege&) = delete;
    EnabledDebugPrivilege& operator=(const EnabledDebugPrivilege&) = delete;
    EnabledDebugPrivilege& operator=(EnabledDebugPrivilege&&) = delete;
    ~EnabledDebugPrivilege() {
        // The previous state lists the privilege only when the adjustment
        // changed it; a failure to put it back leaves it enabled until this
        // process ends.
        if (adjusted_) AdjustTokenPrivileges(token_.get(), FALSE, &previous_, 0, nullptr, nullptr);
    }

private:
    explicit EnabledDebugPrivilege(HANDLE token) : token_(token) {}

    platform::UniqueHandle token_;
    TOKEN_PRIVILEGES previous_{};
    bool adjusted_ = false;
};

// The extended-length form of an absolute path, so that paths beyond
// MAX_PATH work. That form skips all normalisation, so a path holding "." or
// ".." components is left to the ordinary rules.
std::wstring extended_length(const std::filesystem::path& path) {
    const std::wstring text = std::filesystem::path(path).make_preferred().native();
    if (text.starts_with(L"\\\\?\\")) return text;
    for (const auto& part : path) {
        if (part == L"." || part == L"..") return text;
    }
    if (text.size() >= 3 && text[1] == L':' && text[2] == L'\\') return L"\\\\?\\" + text;
    if (text.starts_with(L"\\\\") && !text.starts_with(L"\\\\.\\")) return L"\\\\?\\UNC\\" + text.substr(2);
    return text;
}

}  // namespace

namespace process_detail {

ProbeOutcome create_probe_file(const std::filesystem::path& path) {
    // Delete-on-close: closing the handle deletes the probe, so even a crash
    // right after the creation leaves nothing behind.
    const platform::UniqueHandle probe(CreateFileW(extended_length(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                                   0, nullptr, CREATE_NEW,
                                                   FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (probe.valid()) return ProbeOutcome::created;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return ProbeOutcome::name_taken;
    return ProbeOutcome::failed;
}

platform::OsResult<platform::NativeHandle> open_for_wait(std::uint32_t process_id) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
    if (process == nullptr) return std::unexpected(last_os_error());
    return owned(process);
}

platform::OsResult<platform::NativeHandle> open_for_wait_as_debugger(std::uint32_t process_id) {
    const auto privilege = EnabledDebugPrivilege::enable();
    if (!privilege) return std::unexpected(privilege.error());
    return open_for_wait(process_id);
}

OsError access_denied() { return OsError::from_code(ERROR_ACCESS_DENIED); }

bool is_access_denied(const OsError& error) { return error.code == ERROR_ACCESS_DENIED; }

std::uint32_t wait_for_end(const platform::NativeHandle& process) {
    const DWORD outcome = WaitForSingleObject(reinterpret_cast<HANDLE>(process.get()), INFINITE);
    return outcome == WAIT_OBJECT_0 ? 0 : static_cast<std::uint32_t>(outcome);
}

}  // namespace process_detail

#ifdef TESSARYNDLE_TEST_HOOKS
namespace {

// Wine starts a "runas" program like any other: in our directory, with our
// environment. The elevation service gives it an environment built for the
// user, inheriting nothing of the agent's, and the directory named (the
// system directory without one). Test builds start the worker that way, so
// that what the worker takes from its environment or its directory shows
// under Wine as it would on Windows.
Result<ElevatedWorker> start_like_the_elevation_service(const std::filesystem::path& program,
                                                        const std::filesystem::path& plan_path,
                                                        const std::filesystem::path& result_path,
                                                        const wchar_t* directory) {
    const auto failure = [](DWORD error) {
        return fail(UpdateError::installation("launch elevated Windows installer: " +
                                              platform::windows_error_text(static_cast<std::int64_t>(error))));
    };
    HANDLE raw_token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &raw_token)) {
        return failure(GetLastError());
    }
    const platform::UniqueHandle token(raw_token);
    void* block = nullptr;
    if (!CreateEnvironmentBlock(&block, token.get(), FALSE)) return failure(GetLastError());
    const std::unique_ptr<void, decltype(&DestroyEnvironmentBlock)> made(block, &DestroyEnvironmentBlock);
    // Wine's block names C:\users\Public as ProgramData, where Windows names
    // the system's program data folder: that variable is given as Windows
    // gives it, everything else as Wine built it.
    std::wstring environment;
    const auto program_data = platform::system_program_data_folder();
    for (const wchar_t* entry = static_cast<const wchar_t*>(made.get()); *entry != L'\0';
         entry += std::wcslen(entry) + 1) {
        const std::wstring_view text(entry);
        const bool names_program_data =
            CompareStringOrdinal(text.data(), static_cast<int>(std::min<std::size_t>(text.find(L'='), text.size())),
                                 L"ProgramData", -1, TRUE) == CSTR_EQUAL;
        if (names_program_data && program_data) continue;
        environment.append(text).push_back(L'\0');
    }
    if (program_data) environment.append(L"ProgramData=" + program_data->native()).push_back(L'\0');
    environment.push_back(L'\0');
    wchar_t system_directory[MAX_PATH] = {};
    if (directory == nullptr && GetSystemDirectoryW(system_directory, MAX_PATH) != 0) directory = system_directory;

    const std::wstring arguments[] = {L"--execute-plan", plan_path.native(), L"--result", result_path.native()};
    platform::ProcessStart start;
    start.environment = environment.data();
    start.directory = directory;
    auto started = platform::create_process(program, arguments, start);
    if (!started) return failure(static_cast<DWORD>(started.error().code));
    return ElevatedWorker(platform::ChildProcess::adopt(reinterpret_cast<std::intptr_t>(started->process.release()),
                                                        static_cast<std::uint32_t>(started->id)));
}

}  // namespace
#endif

Result<ElevatedWorker> launch_elevated_program(const std::filesystem::path& program,
                                               const std::filesystem::path& plan_path,
                                               const std::filesystem::path& result_path) {
    const std::wstring parameters = elevated_worker_parameters(plan_path, result_path);
    // Without a directory the elevation service starts the worker in the
    // system directory, and Wine in ours. Naming the system directory gives
    // the worker the same one everywhere, and never a directory of the
    // application's that it would keep from being removed.
    const auto directory = platform::steady_directory();
#ifdef TESSARYNDLE_TEST_HOOKS
    return start_like_the_elevation_service(program, plan_path, result_path, directory ? directory->c_str() : nullptr);
#endif

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    // No owner window: the agent has none, and a window of another process
    // (the application's, which is about to exit) would make a poor owner.
    // The consent prompt shows on the secure desktop in front of everything;
    // only the credential prompt of a machine without the secure desktop
    // can open behind other windows, flashing on the taskbar (README).
    info.hwnd = nullptr;
    info.lpVerb = L"runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = directory ? directory->c_str() : nullptr;
    info.nShow = SW_HIDE;
    // The consent prompt, when one is needed, shows inside this call.
    if (!ShellExecuteExW(&info)) {
        const DWORD error = GetLastError();
        if (error == ERROR_CANCELLED) return fail(UpdateError::authorization_cancelled());
        return fail(UpdateError::installation("launch elevated Windows installer: " +
                                              platform::windows_error_text(static_cast<std::int64_t>(error))));
    }
    // The worker answers through its result file; its handle only tells
    // whether it has ended, so that a worker that ended without an answer
    // is noticed. No handle comes back when the shell did not start a
    // process of its own.
    if (info.hProcess == nullptr || info.hProcess == INVALID_HANDLE_VALUE) return ElevatedWorker();
    return ElevatedWorker(platform::ChildProcess::adopt(reinterpret_cast<std::intptr_t>(info.hProcess),
                                                        static_cast<std::uint32_t>(GetProcessId(info.hProcess))));
}

}  // namespace tessaryndle::agent
