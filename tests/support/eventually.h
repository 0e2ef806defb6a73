#pragma once
// Waiting for what another process makes happen in its own time.

#include <chrono>
#include <functional>
#include <thread>

namespace tessaryndle::test {

// Polls `done` every 20 ms until it holds (true) or `limit` has passed
// (false).
[[nodiscard]] inline bool eventually(const std::function<bool()>& done,
                                     std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace tessaryndle::test
