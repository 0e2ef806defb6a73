#pragma once
// Starting a Windows process: the one place that builds its command line and
// calls CreateProcessW. Windows-only header: included by *_win.cpp files
// alone.

#include <windows.h>

#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "platform/os_error.h"
#include "platform/win_handle.h"

namespace tessaryndle::platform {

// An attribute list that lets a child inherit exactly the given handles
// (PROC_THREAD_ATTRIBUTE_HANDLE_LIST), deleted on every path out. The
// handles themselves must be inheritable.
class InheritedHandles {
public:
    explicit InheritedHandles(std::vector<HANDLE> handles);
    ~InheritedHandles();
    InheritedHandles(const InheritedHandles&) = delete;
    InheritedHandles& operator=(const InheritedHandles&) = delete;

    // Null when the list could not be made; GetLastError() tells why.
    [[nodiscard]] LPPROC_THREAD_ATTRIBUTE_LIST list() const { return list_; }

private:
    std::vector<HANDLE> handles_;
    std::vector<unsigned char> storage_;
    bool initialised_ = false;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

struct ProcessStart {
    // The child's standard input, output and error.
    HANDLE input = nullptr;
    HANDLE output = nullptr;
    HANDLE error = nullptr;
    // When given (and made), the only handles the child inherits; otherwise
    // it inherits every inheritable handle of ours.
    const InheritedHandles* only_inherited = nullptr;
    // Creation flags beyond CREATE_UNICODE_ENVIRONMENT (and
    // EXTENDED_STARTUPINFO_PRESENT, added with `only_inherited`).
    DWORD flags = 0;
    // A UTF-16 environment block, or null for ours.
    wchar_t* environment = nullptr;
    // The child's working directory, or null for ours.
    const wchar_t* directory = nullptr;
};

struct StartedProcess {
    UniqueHandle process;
    UniqueHandle thread;
    DWORD id = 0;
};

// CreateProcessW with `program` as the application name and
// windows_command_line(program, arguments) as the command line, handle
// inheritance on, and `start` for the rest. Failure: GetLastError() of the
// call.
[[nodiscard]] OsResult<StartedProcess> create_process(const std::filesystem::path& program,
                                                      std::span<const std::wstring> arguments,
                                                      const ProcessStart& start);

}  // namespace tessaryndle::platform
