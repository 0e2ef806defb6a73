#include <unistd.h>

#include "platform/native_handle.h"

namespace tessaryndle::platform {

void NativeHandleTraits::free(std::intptr_t value) noexcept {
    if (value >= 0) ::close(static_cast<int>(value));
}

void NativeProcessTraits::free(std::intptr_t) noexcept {}

}  // namespace tessaryndle::platform
