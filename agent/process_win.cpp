#include <windows.h>
// after windows.h, which they need
#include <shellapi.h>

#include <string>

#include "agent/process.h"
#include "agent/process_platform.h"
#include "platform/os_error.h"
#include "platform/win_handle.h"

namespace tessaryndle::agent {
namespace {

std::string last_error_text() { return platform::windows_error_text(static_cast<std::int64_t>(GetLastError())); }

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

}  // namespace process_detail

Result<void> launch_elevated_program(const std::filesystem::path& program, const std::filesystem::path& plan_path,
                                     const std::filesystem::path& result_path) {
    const std::wstring parameters = elevated_worker_parameters(plan_path, result_path);

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;
    info.lpVerb = L"runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = nullptr;
    info.nShow = SW_HIDE;
    // The consent prompt, when one is needed, shows inside this call.
    if (!ShellExecuteExW(&info)) {
        const DWORD error = GetLastError();
        if (error == ERROR_CANCELLED) return fail(UpdateError::authorization_cancelled());
        return fail(UpdateError::installation("launch elevated Windows installer: " +
                                              platform::windows_error_text(static_cast<std::int64_t>(error))));
    }
    // The worker answers through its result file, never through its handle.
    const platform::UniqueHandle worker(info.hProcess);
    return {};
}

Result<void> wait_for_application_exit(std::uint32_t process_id) {
    const platform::UniqueHandle application(OpenProcess(SYNCHRONIZE, FALSE, process_id));
    if (!application.valid()) {
        return fail(UpdateError::installation("open application process: " + last_error_text()));
    }
    const DWORD outcome = WaitForSingleObject(application.get(), INFINITE);
    if (outcome != WAIT_OBJECT_0) {
        return fail(UpdateError::installation("wait for application process returned WAIT_EVENT(" +
                                              std::to_string(outcome) + ")"));
    }
    return {};
}

}  // namespace tessaryndle::agent
