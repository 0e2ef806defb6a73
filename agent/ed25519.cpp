#include "agent/ed25519.h"

#include <sodium.h>

#include <algorithm>
#include <array>

namespace tessaryndle::agent {
namespace {

using Bytes32 = std::array<std::uint8_t, 32>;

// Little-endian encodings of the field prime p = 2^255 - 19 and the group
// order L = 2^252 + 27742317777372353535851937790883648493.
constexpr Bytes32 FIELD_PRIME = {0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};
constexpr Bytes32 GROUP_ORDER = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                 0xa2, 0xde, 0xf9, 0xde, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};
// y = 1 and y = p - 1, the two y coordinates whose x is zero.
constexpr Bytes32 Y_ONE = {0x01};
constexpr Bytes32 Y_MINUS_ONE = {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};

bool sodium_ready() {
    // Idempotent and thread-safe; only picks the fastest implementations.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

}  // namespace

bool ed25519_public_key_decodes(std::span<const std::uint8_t, ED25519_PUBLIC_KEY_BYTES> public_key) {
    Bytes32 y;
    std::copy(public_key.begin(), public_key.end(), y.begin());
    const bool x_negative = (y[31] & 0x80) != 0;
    y[31] &= 0x7f;

    // 1. y must be below p: libsodium's own decoder silently reduces it.
    if (sodium_compare(y.data(), FIELD_PRIME.data(), y.size()) >= 0) return false;
    // 2. x = 0 may not carry the sign bit.
    if (x_negative && (y == Y_ONE || y == Y_MINUS_ONE)) return false;
    // 3. x must exist. Point addition decodes both operands and fails only
    // when one has no x; unlike crypto_core_ed25519_is_valid_point it does
    // not refuse small-order or mixed-order points, which do decode.
    Bytes32 sum;
    static_cast<void>(sodium_ready());
    return crypto_core_ed25519_add(sum.data(), public_key.data(), public_key.data()) == 0;
}

std::expected<void, std::string_view> ed25519_verify_strict(
    std::span<const std::uint8_t, ED25519_PUBLIC_KEY_BYTES> public_key,
    std::span<const std::uint8_t, ED25519_SIGNATURE_BYTES> signature, std::span<const std::uint8_t> message) {
    if (!ed25519_public_key_decodes(public_key)) return std::unexpected(ED25519_KEY_NOT_A_POINT);
    // S must be canonical. libsodium refuses such an S too, but without
    // saying why.
    if (sodium_compare(signature.data() + 32, GROUP_ORDER.data(), GROUP_ORDER.size()) >= 0) {
        return std::unexpected(ED25519_SCALAR_NOT_CANONICAL);
    }
    // libsodium's verification is the strict form for everything else: it
    // refuses small-order R and keys (all encodings, either sign), refuses
    // non-canonical keys, and compares the encoding of [S]B - [k]A with the R
    // bytes, so an R that does not decode, or decodes only non-canonically,
    // cannot match.
    if (!sodium_ready() ||
        crypto_sign_verify_detached(signature.data(), message.data(), message.size(), public_key.data()) != 0) {
        return std::unexpected(ED25519_EQUATION_FAILED);
    }
    return {};
}

}  // namespace tessaryndle::agent
