#pragma once
// The environment the tests run in: the process's variables (changed and
// restored by the guard), and whether Windows is Wine.

#include <optional>
#include <string>

namespace tessaryndle::test {

// Whether the Windows build runs under Wine (natively false). Tests of what
// only Windows does (share modes on directories, access lists, programs
// that cannot be replaced while they run) skip under Wine with their reason.
[[nodiscard]] bool under_wine();

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
