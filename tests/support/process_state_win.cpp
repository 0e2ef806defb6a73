#include <windows.h>

#include "platform/win_handle.h"
#include "tests/support/process_state.h"

namespace tessaryndle::test {

bool process_has_ended(std::uint32_t id) {
    const platform::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
    return !process.valid() || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

bool wait_for_process_end(std::uint32_t pid, std::uint32_t timeout_ms) {
    const platform::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process.valid()) return true;
    return WaitForSingleObject(process.get(), timeout_ms) == WAIT_OBJECT_0;
}

}  // namespace tessaryndle::test
