#include <utility>

#include "tests/support/environment.h"

namespace tessaryndle::test {

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)), old_(get_environment(name_)) {
    if (value) {
        set_environment(name_, *value);
    } else {
        unset_environment(name_);
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    if (old_) {
        set_environment(name_, *old_);
    } else {
        unset_environment(name_);
    }
}

}  // namespace tessaryndle::test
