#include <windows.h>

#include <utility>

#include "platform/held_process.h"

namespace tessaryndle::platform {

OsResult<HeldProcess> HeldProcess::open(std::uint32_t process_id) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
    if (process == nullptr) return std::unexpected(OsError::last());
    return HeldProcess(reinterpret_cast<std::intptr_t>(process));
}

HeldProcess::HeldProcess(HeldProcess&& other) noexcept : handle_(std::exchange(other.handle_, 0)) {}

HeldProcess& HeldProcess::operator=(HeldProcess&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, 0);
    }
    return *this;
}

HeldProcess::~HeldProcess() { close(); }

void HeldProcess::close() {
    if (handle_ != 0) CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = 0;
}

}  // namespace tessaryndle::platform
