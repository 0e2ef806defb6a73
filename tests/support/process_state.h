#pragma once
// Whether a process has ended, asked from outside: also of a process that is
// no child of ours (an agent that the application started).

#include <cstdint>

namespace tessaryndle::test {

// True when process `id` has ended: it cannot be opened any more, or (Wine
// keeps an ended process's object for a moment) it is signalled. Natively a
// process that is still a zombie counts as running.
[[nodiscard]] bool process_has_ended(std::uint32_t id);

// Returns once the process `pid` has ended (also when it is no child of
// ours), or after `timeout_ms`; false on time-out. True at once when no such
// process exists.
[[nodiscard]] bool wait_for_process_end(std::uint32_t pid, std::uint32_t timeout_ms);

}  // namespace tessaryndle::test
