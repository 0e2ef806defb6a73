#include <windows.h>

#include <stdexcept>
#include <vector>

#include "platform/win_handle.h"
#include "platform/windows_command_line.h"
#include "tests/support/piped_child.h"

namespace tessaryndle::test {

struct PipedChild::Handles {
    platform::UniqueHandle read;
};

PipedChild::PipedChild(const std::filesystem::path& program, const std::vector<NativeString>& arguments)
    : handles_(std::make_unique<Handles>()) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_raw = nullptr;
    HANDLE write_raw = nullptr;
    if (!CreatePipe(&read_raw, &write_raw, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
    handles_->read.reset();
    handles_->read = platform::UniqueHandle(read_raw);
    const platform::UniqueHandle write(write_raw);
    SetHandleInformation(read_raw, HANDLE_FLAG_INHERIT, 0);
    const platform::UniqueHandle null(CreateFileW(
        L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));

    // Only the pipe and the null device are inherited, so the child keeps
    // none of our own standard handles open.
    HANDLE inherited[] = {write.get(), null.get()};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size) ||
        !UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                   nullptr, nullptr)) {
        throw std::runtime_error("cannot prepare the handle list");
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = null.get();
    startup.StartupInfo.hStdOutput = write.get();
    startup.StartupInfo.hStdError = null.get();
    startup.lpAttributeList = attributes;

    std::wstring line = platform::windows_command_line(program.native(), arguments);
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr,
                                        &startup.StartupInfo, &info);
    DeleteProcThreadAttributeList(attributes);
    if (!started) throw std::runtime_error("cannot start " + program.string());
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    pid_ = info.dwProcessId;
}

PipedChild::~PipedChild() = default;

std::size_t PipedChild::read_some(std::span<char> into) {
    DWORD n = 0;
    // A broken pipe means that every writer has closed its end.
    if (!ReadFile(handles_->read.get(), into.data(), static_cast<DWORD>(into.size()), &n, nullptr)) return 0;
    return n;
}

std::uint32_t current_process_id() { return GetCurrentProcessId(); }

bool wait_for_process_end(std::uint32_t pid, std::uint32_t timeout_ms) {
    const platform::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process.valid()) return true;
    return WaitForSingleObject(process.get(), timeout_ms) == WAIT_OBJECT_0;
}

}  // namespace tessaryndle::test
