#include <unistd.h>
#include <sys/syscall.h>

#include <utility>

#include "platform/held_process.h"

namespace tessaryndle::platform {

OsResult<HeldProcess> HeldProcess::open(std::uint32_t process_id) {
    const long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(process_id), 0);
    if (fd < 0) return std::unexpected(OsError::last());
    return HeldProcess(static_cast<std::intptr_t>(fd));
}

HeldProcess::HeldProcess(HeldProcess&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

HeldProcess& HeldProcess::operator=(HeldProcess&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
}

HeldProcess::~HeldProcess() { close(); }

void HeldProcess::close() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = -1;
}

}  // namespace tessaryndle::platform
