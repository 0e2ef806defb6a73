// The generic owner behind every handle, descriptor and system allocation:
// each value it was given is released exactly once, whatever mix of moves,
// resets and releases happened to the owners.

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "platform/scoped_generic.h"

namespace tessaryndle {
namespace {

std::vector<int> freed;

struct CountingTraits {
    static int invalid() noexcept { return 0; }
    static void free(int value) noexcept { freed.push_back(value); }
};
using Owner = platform::ScopedGeneric<int, CountingTraits>;

TEST(ScopedGeneric, ReleasesEachValueExactlyOnce) {
    const struct {
        const char* name;
        std::function<void()> run;
        std::vector<int> freed;  // in order, after every owner is gone
    } cases[] = {
        {"move-construct", [] { Owner a(1), b(std::move(a)); }, {1}},
        {"move-assign over a value",
         [] {
             Owner a(1), b(2);
             b = std::move(a);
             EXPECT_FALSE(a.valid());
         },
         {2, 1}},
        {"self-move",
         [] {
             Owner a(1);
             auto& same = a;
             a = std::move(same);
             EXPECT_EQ(a.get(), 1);
         },
         {1}},
        {"reset to another value",
         [] {
             Owner a(1);
             a.reset(2);
         },
         {1, 2}},
        {"reset to the value held",
         [] {
             Owner a(1);
             a.reset(a.get());
         },
         {1}},
        {"release",
         [] {
             Owner a(1);
             EXPECT_EQ(a.release(), 1);
         },
         {}},
        {"empty", [] { Owner a, b(std::move(a)); }, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        freed.clear();
        c.run();
        EXPECT_EQ(freed, c.freed);
    }
}

}  // namespace
}  // namespace tessaryndle
