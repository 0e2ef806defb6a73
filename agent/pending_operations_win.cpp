// TEMPORARY STAND-INS (see pending_operations.cpp), Windows side.

#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>

#include "agent/process.h"
#include "platform/process.h"

namespace tessaryndle::agent {

Result<void> wait_for_application_exit(std::uint32_t process_id) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
    if (process == nullptr) {
        return fail(
            UpdateError::installation("open application process: " + OsError::from_code(GetLastError()).display()));
    }
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
    return {};
}

Result<void> launch_elevated_worker(const std::filesystem::path& plan_path, const std::filesystem::path& result_path) {
    const auto self = platform::own_executable_path();
    if (!self) return fail(UpdateError::io("updater agent", self.error()));
    const std::wstring parameters =
        L"--execute-plan \"" + plan_path.native() + L"\" --result \"" + result_path.native() + L"\"";
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"runas";
    info.lpFile = self->c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info)) {
        if (GetLastError() == ERROR_CANCELLED) return fail(UpdateError::authorization_cancelled());
        return fail(UpdateError::installation("launch elevated Windows installer: " +
                                              OsError::from_code(GetLastError()).display()));
    }
    if (info.hProcess != nullptr) CloseHandle(info.hProcess);
    return {};
}

}  // namespace tessaryndle::agent
