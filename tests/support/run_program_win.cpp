#include <windows.h>

#include <set>

#include "platform/create_process_win.h"
#include "platform/win_handle.h"
#include "tests/support/run_program.h"

namespace tessaryndle::test {
namespace {

std::wstring widen(const std::string& s) { return utf8_to_utf16(s).value_or(std::wstring()); }

}  // namespace

RunResult run_program(const std::filesystem::path& program, const RunOptions& options) {
    RunResult result;

    // Environment block: ours with the changes applied.
    std::set<std::wstring> overridden;
    for (const auto& [k, v] : options.environment) overridden.insert(widen(k));
    for (const auto& k : options.unset_environment) overridden.insert(widen(k));
    std::wstring block;
    if (wchar_t* env = GetEnvironmentStringsW()) {
        for (const wchar_t* p = env; *p; p += wcslen(p) + 1) {
            std::wstring entry(p);
            const auto eq = entry.find(L'=', 1);
            if (eq != std::wstring::npos && overridden.count(entry.substr(0, eq))) continue;
            block += entry;
            block += L'\0';
        }
        FreeEnvironmentStringsW(env);
    }
    for (const auto& [k, v] : options.environment) {
        block += widen(k) + L"=" + widen(v);
        block += L'\0';
    }
    block += L'\0';

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_raw = nullptr;
    HANDLE write_raw = nullptr;
    if (options.capture_stdout) {
        if (!CreatePipe(&read_raw, &write_raw, &inherit, 0)) {
            result.start_error = "CreatePipe failed";
            return result;
        }
        SetHandleInformation(read_raw, HANDLE_FLAG_INHERIT, 0);
    } else {
        write_raw =
            CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    }
    platform::UniqueHandle read_end(read_raw);
    platform::UniqueHandle write_end(write_raw);
    platform::UniqueHandle error_file;
    if (!options.stderr_file.empty()) {
        error_file = platform::UniqueHandle(CreateFileW(options.stderr_file.c_str(), GENERIC_WRITE,
                                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                        &inherit, CREATE_ALWAYS, 0, nullptr));
        if (!error_file.valid()) {
            result.start_error = "cannot create the standard error file";
            return result;
        }
    }

    platform::ProcessStart start;
    start.input = GetStdHandle(STD_INPUT_HANDLE);
    start.output = write_end.get();
    start.error = error_file.valid() ? error_file.get() : GetStdHandle(STD_ERROR_HANDLE);
    start.environment = block.data();
    const std::wstring cwd = options.working_directory.native();
    start.directory = cwd.empty() ? nullptr : cwd.c_str();
    auto started = platform::create_process(program, options.arguments, start);
    if (!started) {
        result.start_error = "CreateProcessW failed with " + std::to_string(started.error().code);
        return result;
    }
    const platform::UniqueHandle process = std::move(started->process);
    write_end.reset();
    error_file.reset();

    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(options.timeout.count());
    if (options.capture_stdout) {
        char buffer[4096];
        for (;;) {
            DWORD available = 0;
            if (!PeekNamedPipe(read_end.get(), nullptr, 0, nullptr, &available, nullptr)) break;  // closed
            if (available == 0) {
                if (GetTickCount64() >= deadline) {
                    result.timed_out = true;
                    break;
                }
                Sleep(2);
                continue;
            }
            DWORD got = 0;
            if (!ReadFile(read_end.get(), buffer, sizeof buffer, &got, nullptr) || got == 0) break;
            result.stdout_bytes.append(buffer, got);
        }
    }
    const ULONGLONG now = GetTickCount64();
    const DWORD wait_ms = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    if (WaitForSingleObject(process.get(), wait_ms) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), INFINITE);
        result.timed_out = true;
        return result;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    result.exit_status = static_cast<int>(code);
    return result;
}

}  // namespace tessaryndle::test
