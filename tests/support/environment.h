#pragma once
// Changing the test process's own environment (restored by the guard).

#include <optional>
#include <string>

namespace tessaryndle::test {

void set_environment(const std::string& name, const std::string& value);
void unset_environment(const std::string& name);
[[nodiscard]] std::optional<std::string> get_environment(const std::string& name);

// Sets (or, with nullopt, removes) a variable and restores the old state
// when destroyed.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::optional<std::string>& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

}  // namespace tessaryndle::test
