#include <unistd.h>

#include "platform/native_handle.h"

namespace tessaryndle::platform {

void NativeHandle::reset() noexcept {
    if (value_ >= 0) ::close(static_cast<int>(value_));
    value_ = EMPTY;
}

}  // namespace tessaryndle::platform
