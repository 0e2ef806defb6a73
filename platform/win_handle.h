#pragma once
// Owners of Win32 handles and of memory the system allocated, each released
// exactly once. Windows-only header: included by *_win.cpp files alone.

#include <windows.h>

#include "platform/scoped_generic.h"

namespace tessaryndle::platform {

// ERROR_STOPPED_ON_SYMLINK ("The create operation stopped after reaching a
// symbolic link"), which mingw's headers lack: what the no-follow operations
// report for a link or junction in their way.
inline constexpr DWORD STOPPED_ON_LINK_ERROR = 681;

// A kernel object handle, closed with CloseHandle. Functions disagree on how
// they fail (CreateFileW returns INVALID_HANDLE_VALUE, OpenProcess null), so
// both count as empty.
struct HandleTraits {
    static HANDLE invalid() noexcept { return nullptr; }
    static bool is_valid(HANDLE handle) noexcept { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    static void free(HANDLE handle) noexcept { CloseHandle(handle); }
};
using UniqueHandle = ScopedGeneric<HANDLE, HandleTraits>;

// A FindFirstFileExW search handle, closed with FindClose.
struct FindHandleTraits {
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void free(HANDLE handle) noexcept { FindClose(handle); }
};
using UniqueFindHandle = ScopedGeneric<HANDLE, FindHandleTraits>;

// Memory that a system function allocated for the caller (security
// descriptors, FormatMessageW's text, CommandLineToArgvW's array), released
// with LocalFree.
struct LocalMemoryTraits {
    static HLOCAL invalid() noexcept { return nullptr; }
    static void free(HLOCAL memory) noexcept { LocalFree(memory); }
};
using LocalMemory = ScopedGeneric<HLOCAL, LocalMemoryTraits>;

}  // namespace tessaryndle::platform
