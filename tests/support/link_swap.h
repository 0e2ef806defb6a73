#pragma once
// A name that keeps changing between a plain file and a symbolic link while
// a check-then-use operation runs on it: the way a user's side would race
// the elevated side. Native only (real symbolic links).

#include <filesystem>
#include <functional>

namespace tessaryndle::test {

// While `attempt` is called again and again (for about two seconds, at most
// 50000 times), `name` is swapped by renames between a hard link to `plain`
// and a symbolic link to `link_target`; `name` starts out as the hard link.
// Returns how many attempts succeeded. When the plain file can never make
// `attempt` succeed, every success went through the link.
[[nodiscard]] int successes_while_swapping(const std::filesystem::path& name, const std::filesystem::path& plain,
                                           const std::filesystem::path& link_target,
                                           const std::function<bool()>& attempt);

}  // namespace tessaryndle::test
