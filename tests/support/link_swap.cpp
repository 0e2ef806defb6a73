#include "tests/support/link_swap.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace tessaryndle::test {

int successes_while_swapping(const std::filesystem::path& name, const std::filesystem::path& plain,
                             const std::filesystem::path& link_target, const std::function<bool()>& attempt) {
    namespace fs = std::filesystem;
    const fs::path link_temporary = name.parent_path() / (name.filename().string() + ".link.tmp");
    const fs::path plain_temporary = name.parent_path() / (name.filename().string() + ".plain.tmp");
    fs::create_hard_link(plain, name);
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop) {
            fs::create_symlink(link_target, link_temporary);
            fs::rename(link_temporary, name);
            fs::create_hard_link(plain, plain_temporary);
            fs::rename(plain_temporary, name);
        }
    });
    int successes = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int i = 0; i < 50000 && std::chrono::steady_clock::now() < deadline; ++i) {
        if (attempt()) ++successes;
    }
    stop = true;
    swapper.join();
    return successes;
}

}  // namespace tessaryndle::test
