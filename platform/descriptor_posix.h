#pragma once
// The POSIX side's owning file descriptor and its retry of interrupted calls,
// shared by every *_posix.cpp of the platform layer.

#include <unistd.h>
#include <cerrno>

#include "platform/scoped_generic.h"

namespace tessaryndle::platform {

// Calls `call` again while it fails with EINTR (a signal arrived before it
// could finish) and returns its last result.
template <class Call>
auto retry_on_eintr(Call call) {
    auto result = call();
    while (result == -1 && errno == EINTR) result = call();
    return result;
}

// An owned descriptor, closed exactly once on every path out.
struct DescriptorTraits {
    static int invalid() noexcept { return -1; }
    static bool is_valid(int fd) noexcept { return fd >= 0; }
    static void free(int fd) noexcept { ::close(fd); }
};
using Descriptor = ScopedGeneric<int, DescriptorTraits>;

}  // namespace tessaryndle::platform
