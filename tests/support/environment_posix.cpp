#include <cstdlib>

#include "tests/support/environment.h"

namespace tessaryndle::test {

void set_environment(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }
void unset_environment(const std::string& name) { ::unsetenv(name.c_str()); }
std::optional<std::string> get_environment(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    if (!v) return std::nullopt;
    return std::string(v);
}

bool under_wine() { return false; }

}  // namespace tessaryndle::test
