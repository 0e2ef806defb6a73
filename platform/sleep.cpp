#include "platform/sleep.h"

#include <chrono>
#include <thread>

namespace tessaryndle::platform {

void sleep_milliseconds(std::uint64_t milliseconds) {
    // Sleep in bounded slices: a duration near 2^64 ms would overflow the
    // clock arithmetic of a single sleep_for.
    constexpr std::uint64_t SLICE = 1000ull * 60 * 60 * 24;
    while (milliseconds > 0) {
        const std::uint64_t step = milliseconds < SLICE ? milliseconds : SLICE;
        std::this_thread::sleep_for(std::chrono::milliseconds(step));
        milliseconds -= step;
    }
}

}  // namespace tessaryndle::platform
