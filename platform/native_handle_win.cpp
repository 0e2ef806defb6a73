#include <windows.h>

#include "platform/native_handle.h"

namespace tessaryndle::platform {

void NativeHandle::reset() noexcept {
    // Null is no handle either: OpenProcess and others return it on failure.
    if (value_ != EMPTY && value_ != 0) CloseHandle(reinterpret_cast<HANDLE>(value_));
    value_ = EMPTY;
}

}  // namespace tessaryndle::platform
