#include <windows.h>

#include "platform/native_handle.h"

namespace tessaryndle::platform {

void NativeHandleTraits::free(std::intptr_t value) noexcept {
    if (value != 0) CloseHandle(reinterpret_cast<HANDLE>(value));
}

void NativeProcessTraits::free(std::intptr_t value) noexcept { NativeHandleTraits::free(value); }

}  // namespace tessaryndle::platform
