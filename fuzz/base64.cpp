// The strict Base64 decoder: one byte string has exactly one accepted text.
// Any text it accepts is the encoding of what it decoded to, and the encoding
// of any bytes decodes back to those bytes.

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/base64.h"
#include "fuzz/support/property.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessaryndle;
    const auto text = fuzz::as_text(data, size);

    if (const auto decoded = base64_decode(text)) {
        FUZZ_CHECK(base64_encode(*decoded) == text);
        FUZZ_CHECK(decoded->size() == text.size() / 4 * 3 - (text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0));
    } else {
        FUZZ_CHECK(!decoded.error().empty());
    }

    // The input as bytes: encoded, then decoded again.
    const std::span<const std::uint8_t> bytes(data, size);
    const std::string encoded = base64_encode(bytes);
    FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4);
    const auto round_trip = base64_decode(encoded);
    FUZZ_CHECK(round_trip.has_value());
    FUZZ_CHECK(round_trip->size() == size && std::equal(round_trip->begin(), round_trip->end(), data));
    return 0;
}
