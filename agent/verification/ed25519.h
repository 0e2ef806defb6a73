#pragma once
// Strict Ed25519 verification (RFC 8032, plain Ed25519) that tells its
// causes of refusal apart. The release signature of an update archive is
// checked with it.

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

namespace tessaryndle::agent {

inline constexpr std::size_t ED25519_PUBLIC_KEY_BYTES = 32;
inline constexpr std::size_t ED25519_SIGNATURE_BYTES = 64;

// The causes, as shown after "signature error: ".
inline constexpr std::string_view ED25519_KEY_NOT_A_POINT = "Cannot decompress Edwards point";
inline constexpr std::string_view ED25519_SCALAR_NOT_CANONICAL = "Cannot use scalar with high-bit set";
inline constexpr std::string_view ED25519_EQUATION_FAILED = "Verification equation was not satisfied";

// Whether the key decodes to a curve point under RFC 8032's decoding: y
// below the field prime, x recoverable from y, and no "negative zero" x.
// Small-order points do decode; they are refused by verification.
[[nodiscard]] bool ed25519_public_key_decodes(std::span<const std::uint8_t, ED25519_PUBLIC_KEY_BYTES> public_key);

// Verifies `signature` (R || S) over `message` with `public_key`. Refuses,
// with the cause:
//   ED25519_KEY_NOT_A_POINT       the key does not decode (as above);
//   ED25519_SCALAR_NOT_CANONICAL  S is not below the group order L;
//   ED25519_EQUATION_FAILED       anything else: R does not decode, R or the
//                                 key has small order, or [S]B - [k]A does
//                                 not encode to the R bytes.
// The message is read once, in place.
[[nodiscard]] std::expected<void, std::string_view> ed25519_verify_strict(
    std::span<const std::uint8_t, ED25519_PUBLIC_KEY_BYTES> public_key,
    std::span<const std::uint8_t, ED25519_SIGNATURE_BYTES> signature, std::span<const std::uint8_t> message);

}  // namespace tessaryndle::agent
