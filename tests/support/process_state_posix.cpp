#include <signal.h>

#include <cerrno>

#include "tests/support/process_state.h"

namespace tessaryndle::test {

bool process_has_ended(std::uint32_t id) { return ::kill(static_cast<pid_t>(id), 0) != 0 && errno == ESRCH; }

}  // namespace tessaryndle::test
