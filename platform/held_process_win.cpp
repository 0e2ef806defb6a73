#include <windows.h>

#include <utility>

#include "platform/held_process.h"

namespace tessaryndle::platform {

OsResult<HeldProcess> HeldProcess::open(std::uint32_t process_id) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
    if (process == nullptr) return std::unexpected(OsError::last());
    return HeldProcess(reinterpret_cast<std::intptr_t>(process));
}

}  // namespace tessaryndle::platform
