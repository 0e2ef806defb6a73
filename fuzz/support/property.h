#pragma once
// What every fuzz target shares: a property that does not hold stops the
// run at once, with a line saying which, so that libFuzzer records the input.

#include <cstdint>
#include <cstdio>
#include <string_view>

namespace tessaryndle::fuzz {

[[noreturn]] inline void violated(const char* property, const char* file, int line) {
    std::fprintf(stderr, "property violated at %s:%d: %s\n", file, line, property);
    std::fflush(stderr);
    __builtin_trap();
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

}  // namespace tessaryndle::fuzz

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::tessaryndle::fuzz::violated(#condition, __FILE__, __LINE__))
