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

}  // namespace tessaryndle::platform
