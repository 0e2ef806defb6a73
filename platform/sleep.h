#pragma once

#include <cstdint>

namespace tessaryndle::platform {

// Blocks the calling thread for the whole duration, however long.
void sleep_milliseconds(std::uint64_t milliseconds);

}  // namespace tessaryndle::platform
