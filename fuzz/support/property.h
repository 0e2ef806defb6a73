#pragma once
// What every fuzz target shares: a property that does not hold stops the
// run at once, with a line saying which, so that libFuzzer records the input.

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
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

// A fresh private directory below $TMPDIR named after the target, for what
// a target writes; the run stops when none can be made.
inline std::filesystem::path make_scratch_directory(std::string_view target) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / ("tessaryndle-fuzz-" + std::string(target) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
}

}  // namespace tessaryndle::fuzz

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::tessaryndle::fuzz::violated(#condition, __FILE__, __LINE__))
