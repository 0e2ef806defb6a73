#pragma once
// Owners of operating-system handles kept behind a platform-free interface:
// a Windows HANDLE or a POSIX descriptor or pid stored as an integer, so that
// headers need no system header.

#include <cstdint>

#include "platform/scoped_generic.h"

namespace tessaryndle::platform {

// A handle (CloseHandle) or descriptor (close). The empty value is -1: no
// descriptor is negative, and no handle that an open returns is
// INVALID_HANDLE_VALUE. On Windows a null handle is never closed either
// (OpenProcess and others return it on failure).
struct NativeHandleTraits {
    static constexpr std::intptr_t invalid() noexcept { return -1; }
    static void free(std::intptr_t value) noexcept;
};
using NativeHandle = ScopedGeneric<std::intptr_t, NativeHandleTraits>;

// A child process as this process refers to it: on Windows its process
// handle, closed as a NativeHandle is; elsewhere its pid, which holds nothing
// to close (an unreaped child is handed to init when this process exits).
// Releasing it neither stops nor waits for the child. Empty is -1.
struct NativeProcessTraits {
    static constexpr std::intptr_t invalid() noexcept { return -1; }
    static void free(std::intptr_t value) noexcept;
};
using NativeProcess = ScopedGeneric<std::intptr_t, NativeProcessTraits>;

}  // namespace tessaryndle::platform
