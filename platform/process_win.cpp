#include <windows.h>

#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/win_handle.h"
#include "platform/windows_command_line.h"

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

OsResult<void> start_executable(const std::filesystem::path& program, const std::vector<NativeString>& arguments) {
    // CreateProcessW may write into the command line, so it gets its own
    // NUL-terminated copy.
    std::wstring line = windows_command_line(program.native(), arguments);
    std::vector<wchar_t> mutable_line(line.begin(), line.end());
    mutable_line.push_back(L'\0');

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

    PROCESS_INFORMATION info{};
    // No environment block and no current directory of our own: the child
    // gets the launcher's environment and working directory.
    if (!CreateProcessW(program.c_str(), mutable_line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                        nullptr, nullptr, &startup, &info)) {
        return std::unexpected(OsError::from_code(static_cast<std::int64_t>(GetLastError())));
    }
    // The child runs on its own; nothing here waits for it.
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    return {};
}

}  // namespace tessaryndle::platform
