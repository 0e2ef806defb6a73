#include "platform/create_process_win.h"

#include "platform/windows_command_line.h"

namespace tessaryndle::platform {

InheritedHandles::InheritedHandles(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    initialised_ = true;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                   handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
        return;
    }
    list_ = list;
}

InheritedHandles::~InheritedHandles() {
    if (initialised_) DeleteProcThreadAttributeList(reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data()));
}

OsResult<StartedProcess> create_process(const std::filesystem::path& program, std::span<const std::wstring> arguments,
                                        const ProcessStart& start) {
    // CreateProcessW may write into the command line: it gets this string's
    // own NUL-terminated buffer.
    std::wstring line = windows_command_line(program.native(), arguments);

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup.StartupInfo;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = start.input;
    startup.StartupInfo.hStdOutput = start.output;
    startup.StartupInfo.hStdError = start.error;
    DWORD flags = CREATE_UNICODE_ENVIRONMENT | start.flags;
    if (start.only_inherited != nullptr) {
        // A list that could not be made must not widen into inheriting all.
        if (start.only_inherited->list() == nullptr)
            return std::unexpected(OsError::from_code(ERROR_INVALID_PARAMETER));
        startup.StartupInfo.cb = sizeof startup;
        startup.lpAttributeList = start.only_inherited->list();
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }

    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, flags, start.environment, start.directory,
                        &startup.StartupInfo, &info)) {
        return std::unexpected(OsError::last());
    }
    StartedProcess started;
    started.process = UniqueHandle(info.hProcess);
    started.thread = UniqueHandle(info.hThread);
    started.id = info.dwProcessId;
    return started;
}

}  // namespace tessaryndle::platform
