#include "agent/verification/ed25519.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <optional>

#include "agent/verification/sha512.h"

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

constexpr Bytes32 IDENTITY = {0x01};

bool sodium_ready() {
    // Idempotent and thread-safe; only picks the fastest implementations.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool is_zero(const Bytes32& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// [8]P is the identity: P decodes and is one of the eight points of small
// order. Point addition takes any point on the curve.
bool has_small_order(const Bytes32& point) {
    Bytes32 multiple = point;
    for (int doubling = 0; doubling < 3; ++doubling) {
        if (crypto_core_ed25519_add(multiple.data(), multiple.data(), multiple.data()) != 0) return false;
    }
    return multiple == IDENTITY;
}

// [n]B for a canonical scalar n.
std::optional<Bytes32> multiply_base(const Bytes32& n) {
    if (is_zero(n)) return IDENTITY;
    Bytes32 product;
    if (crypto_scalarmult_ed25519_base_noclamp(product.data(), n.data()) != 0) return std::nullopt;
    return product;
}

// [n]P for a canonical scalar n and a decoded point P that is not of small
// order. libsodium's scalar multiplication takes only points of the
// prime-order subgroup; a key with a small-order component is a valid key
// all the same and is multiplied by doubling and adding (variable time is
// fine: everything here is public).
std::optional<Bytes32> multiply(const Bytes32& point, const Bytes32& n) {
    if (is_zero(n)) return IDENTITY;
    Bytes32 product;
    if (crypto_core_ed25519_is_valid_point(point.data()) == 1) {
        // [n]P is the identity only when n is a multiple of the order, which
        // a non-zero canonical scalar is not.
        if (crypto_scalarmult_ed25519_noclamp(product.data(), n.data(), point.data()) != 0) return std::nullopt;
        return product;
    }
    product = IDENTITY;
    for (int bit = 255; bit >= 0; --bit) {
        if (crypto_core_ed25519_add(product.data(), product.data(), product.data()) != 0) return std::nullopt;
        if (((n[static_cast<std::size_t>(bit / 8)] >> (bit % 8)) & 1) != 0 &&
            crypto_core_ed25519_add(product.data(), product.data(), point.data()) != 0) {
            return std::nullopt;
        }
    }
    return product;
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
    // What libsodium's crypto_sign_verify_detached decides, with the pass
    // over the message done by the platform's faster SHA-512: everything
    // else is a refusal of the equation. The key is canonical (decoded
    // above); neither it nor R may be of small order; [S]B - [k]A, encoded,
    // must be the R bytes, which an R that does not decode, or only
    // non-canonically, can never be.
    Bytes32 r;
    Bytes32 key;
    std::copy_n(signature.begin(), 32, r.begin());
    std::copy(public_key.begin(), public_key.end(), key.begin());
    if (!sodium_ready() || has_small_order(key) || has_small_order(r)) {
        return std::unexpected(ED25519_EQUATION_FAILED);
    }
    const auto hash = sha512({r, key, message});
    // A provider that fails leaves the signature unproven: refused.
    if (!hash) return std::unexpected(ED25519_EQUATION_FAILED);
    Bytes32 k;
    crypto_core_ed25519_scalar_reduce(k.data(), hash->data());
    Bytes32 s_scalar;
    std::copy_n(signature.begin() + 32, 32, s_scalar.begin());
    const auto s_base = multiply_base(s_scalar);
    const auto k_key = multiply(key, k);
    Bytes32 check;
    if (!s_base || !k_key || crypto_core_ed25519_sub(check.data(), s_base->data(), k_key->data()) != 0 ||
        sodium_memcmp(check.data(), r.data(), check.size()) != 0) {
        return std::unexpected(ED25519_EQUATION_FAILED);
    }
    return {};
}

}  // namespace tessaryndle::agent
