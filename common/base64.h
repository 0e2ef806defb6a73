#pragma once
// Strict Base64 (standard alphabet, canonical "=" padding, zero trailing
// bits) for the release key and signatures. Anything a careless encoder
// could have produced differently is refused, so one byte string has exactly
// one accepted text.

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessaryndle {

// The decoded bytes, or the reason the text is refused, judged in this
// order:
//   "Invalid symbol {byte}, offset {index}."  the first byte outside the
//       alphabet; then the first "=" where no padding may stand (before the
//       final group, among its first two characters, or followed by a
//       symbol);
//   "Invalid input length: {count}"  the symbol count cannot be a Base64
//       length (one symbol in the final group);
//   "Invalid padding"  the final group is not completed to four characters
//       by exactly the "=" it needs;
//   "Invalid last symbol {byte}, offset {index}."  the last symbol carries
//       non-zero bits beyond the decoded bytes.
// The empty text decodes to no bytes.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> base64_decode(std::string_view text);

// The one text that base64_decode accepts for `bytes`: standard alphabet,
// "=" padding, no line breaks.
[[nodiscard]] std::string base64_encode(std::span<const std::uint8_t> bytes);

}  // namespace tessaryndle
