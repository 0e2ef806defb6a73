#include <windows.h>

#include "platform/win_handle.h"
#include "tests/support/process_state.h"

namespace tessaryndle::test {

bool process_has_ended(std::uint32_t id) {
    const platform::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
    return !process.valid() || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

}  // namespace tessaryndle::test
