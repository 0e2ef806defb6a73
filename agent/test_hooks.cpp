#include "agent/test_hooks.h"

#ifdef TESSARYNDLE_TEST_HOOKS

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tessaryndle::agent::test_hooks {
namespace {

bool variable_equals(std::string_view variable, std::string_view value) {
    const char* wanted = std::getenv(std::string(variable).c_str());
    return wanted != nullptr && value == wanted;
}

}  // namespace

void stop_at(std::string_view point) {
    if (variable_equals(STOP_AT_VARIABLE, point)) std::_Exit(STOPPED_EXIT_STATUS);
}

bool refuse_replace(std::string_view component) { return variable_equals(REFUSE_REPLACE_VARIABLE, component); }

}  // namespace tessaryndle::agent::test_hooks

#endif
