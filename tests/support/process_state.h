#pragma once
// Whether a process has ended, asked from outside without waiting.

#include <cstdint>

namespace tessaryndle::test {

// True when process `id` has ended: it cannot be opened any more, or (Wine
// keeps an ended process's object for a moment) it is signalled. Natively a
// process that is still a zombie counts as running.
[[nodiscard]] bool process_has_ended(std::uint32_t id);

}  // namespace tessaryndle::test
