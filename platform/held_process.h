#pragma once
// A handle to another process, held only to keep that process's identity
// alive for others.

#include <cstdint>

#include "platform/native_handle.h"
#include "platform/os_error.h"

namespace tessaryndle::platform {

class HeldProcess {
public:
    // Opens the process `process_id` for waiting only. On Windows
    // (OpenProcess with SYNCHRONIZE) the process object, and with it its
    // identifier, outlives the process for as long as this handle is held:
    // another process can still open it by that identifier after it has
    // exited (and sees it ended), and the identifier is not reused. Elsewhere
    // a pidfd, which cannot keep an identifier from being reused once the
    // parent has reaped the process. Failure: the OS error of the open.
    [[nodiscard]] static OsResult<HeldProcess> open(std::uint32_t process_id);

    HeldProcess(HeldProcess&& other) noexcept = default;
    HeldProcess& operator=(HeldProcess&& other) noexcept = default;
    HeldProcess(const HeldProcess&) = delete;
    HeldProcess& operator=(const HeldProcess&) = delete;
    ~HeldProcess() = default;

private:
    explicit HeldProcess(std::intptr_t handle) : handle_(handle) {}
    NativeHandle handle_;
};

}  // namespace tessaryndle::platform
