#include "agent/test_hooks.h"

#ifdef TESSARYNDLE_TEST_HOOKS

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tessaryndle::agent::test_hooks {

void stop_at(std::string_view point) {
    const char* wanted = std::getenv(std::string(STOP_AT_VARIABLE).c_str());
    if (wanted == nullptr || point != wanted) return;
    std::_Exit(STOPPED_EXIT_STATUS);
}

}  // namespace tessaryndle::agent::test_hooks

#endif
