#include <sodium.h>
#include <gtest/gtest.h>

#include <array>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "agent/verification/ed25519.h"
#include "tests/support/release_signing.h"
#include "tests/support/test_support.h"

namespace tessaryndle::agent {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Point = std::array<std::uint8_t, 32>;
using Signature = std::array<std::uint8_t, 64>;

Bytes from_hex(std::string_view hex) {
    Bytes bytes(hex.size() / 2);
    if (bytes.empty()) return bytes;
    std::size_t length = 0;
    if (sodium_hex2bin(bytes.data(), bytes.size(), hex.data(), hex.size(), nullptr, &length, nullptr) != 0) {
        ADD_FAILURE() << "bad hex " << hex;
    }
    bytes.resize(length);
    return bytes;
}

Point point_from_hex(std::string_view hex) {
    const Bytes bytes = from_hex(hex);
    Point point{};
    std::copy(bytes.begin(), bytes.end(), point.begin());
    return point;
}

// "ok", or the refusal's cause. Lengths other than 32/64 are refused before
// verification, as the artifact check does.
std::string verdict(const Bytes& key, const Bytes& signature, const Bytes& message) {
    if (key.size() != ED25519_PUBLIC_KEY_BYTES || signature.size() != ED25519_SIGNATURE_BYTES) return "length";
    const auto result = ed25519_verify_strict(std::span<const std::uint8_t, 32>(key.data(), 32),
                                              std::span<const std::uint8_t, 64>(signature.data(), 64), message);
    return result ? "ok" : std::string(result.error());
}

std::string verdict(const Point& key, const Signature& signature, const Bytes& message) {
    return verdict(Bytes(key.begin(), key.end()), Bytes(signature.begin(), signature.end()), message);
}

nlohmann::json conformance(std::string_view name) {
    return nlohmann::json::parse(test::read_file(test::source_dir() / "tests" / "conformance" / "ed25519" / name));
}

TEST(Ed25519ConformanceTest, Rfc8032VectorsVerify) {
    const auto vectors = conformance("rfc8032_vectors.json");
    ASSERT_EQ(vectors.size(), 5u);
    for (const auto& v : vectors) {
        SCOPED_TRACE(v["name"].get<std::string>());
        const Bytes key = from_hex(v["public_key"].get<std::string>());
        const Bytes signature = from_hex(v["signature"].get<std::string>());
        Bytes message = from_hex(v["message"].get<std::string>());
        EXPECT_EQ(verdict(key, signature, message), "ok");
        if (!message.empty()) {
            message.back() ^= 1;
            EXPECT_EQ(verdict(key, signature, message), ED25519_EQUATION_FAILED);
        }
    }
}

TEST(Ed25519ConformanceTest, WycheproofValidPassAndInvalidAreRefused) {
    const auto document = conformance("wycheproof_eddsa_test.json");
    int valid = 0;
    int invalid = 0;
    for (const auto& group : document["testGroups"]) {
        const Bytes key = from_hex(group["publicKey"]["pk"].get<std::string>());
        for (const auto& t : group["tests"]) {
            SCOPED_TRACE("tcId " + std::to_string(t["tcId"].get<int>()) + ": " + t["comment"].get<std::string>());
            const std::string result =
                verdict(key, from_hex(t["sig"].get<std::string>()), from_hex(t["msg"].get<std::string>()));
            if (t["result"] == "valid") {
                ++valid;
                EXPECT_EQ(result, "ok");
            } else {
                ++invalid;
                EXPECT_NE(result, "ok");
            }
        }
    }
    EXPECT_EQ(valid, 88);
    EXPECT_EQ(invalid, 63);
}

// ---- Crafted vectors -------------------------------------------------------

// The eight points of small order (orders 1, 2, 4, 4, 8, 8, 8, 8).
const std::array<std::string_view, 8> SMALL_ORDER_POINTS = {
    "0100000000000000000000000000000000000000000000000000000000000000",
    "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "0000000000000000000000000000000000000000000000000000000000000000",
    "0000000000000000000000000000000000000000000000000000000000000080",
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85",
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa",
};
const Point IDENTITY = point_from_hex(SMALL_ORDER_POINTS[0]);
const Bytes MESSAGE = {'t', 'e', 's', 's', 'a', 'r', 'y', 'n', 'd', 'l', 'e'};

// k = SHA-512(R || A || M) mod L.
Point challenge(const Point& r, const Point& a, const Bytes& message) {
    crypto_hash_sha512_state state;
    crypto_hash_sha512_init(&state);
    crypto_hash_sha512_update(&state, r.data(), r.size());
    crypto_hash_sha512_update(&state, a.data(), a.size());
    crypto_hash_sha512_update(&state, message.data(), message.size());
    std::array<std::uint8_t, 64> wide{};
    crypto_hash_sha512_final(&state, wide.data());
    Point k{};
    crypto_core_ed25519_scalar_reduce(k.data(), wide.data());
    return k;
}

// [m]P for a point of small order, by repeated addition (libsodium's scalar
// multiplication refuses small-order points).
Point small_multiple(const Point& p, unsigned m) {
    Point sum = IDENTITY;
    for (unsigned i = 0; i < m; ++i) EXPECT_EQ(crypto_core_ed25519_add(sum.data(), sum.data(), p.data()), 0);
    return sum;
}

Signature join(const Point& r, const Point& s) {
    Signature signature{};
    std::copy(r.begin(), r.end(), signature.begin());
    std::copy(s.begin(), s.end(), signature.begin() + 32);
    return signature;
}

// A signature that satisfies the cofactorless equation [S]B - [k]A = R for a
// key A of small order, so only the small-order rule can refuse it: with
// R = [r]B - [t]A and S = r, the equation holds when [k]A = [t]A, which a
// few random choices of r reach.
Signature forge_for_small_order_key(const Point& a) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        Point r{};
        crypto_core_ed25519_scalar_random(r.data());
        Point rb{};
        EXPECT_EQ(crypto_scalarmult_ed25519_base_noclamp(rb.data(), r.data()), 0);
        for (unsigned t = 0; t < 8; ++t) {
            Point big_r{};
            if (crypto_core_ed25519_sub(big_r.data(), rb.data(), small_multiple(a, t).data()) != 0) continue;
            const Point k = challenge(big_r, a, MESSAGE);
            if (small_multiple(a, k[0] % 8) == small_multiple(a, t)) return join(big_r, r);
        }
    }
    ADD_FAILURE() << "no forgery found";
    return {};
}

// Whether [S]B - [k]A encodes to the R bytes, given [k]A: what a verifier
// without the small-order rules would accept.
bool equation_holds(const Signature& signature, const Point& k_times_a) {
    Point r{};
    Point s{};
    std::copy(signature.begin(), signature.begin() + 32, r.begin());
    std::copy(signature.begin() + 32, signature.end(), s.begin());
    Point sb{};
    Point difference{};
    return crypto_scalarmult_ed25519_base_noclamp(sb.data(), s.data()) == 0 &&
           crypto_core_ed25519_sub(difference.data(), sb.data(), k_times_a.data()) == 0 && difference == r;
}

TEST(Ed25519CraftedTest, SmallOrderKeysDecodeButAreRefusedEvenWhenTheEquationHolds) {
    for (const auto hex : SMALL_ORDER_POINTS) {
        SCOPED_TRACE(hex);
        const Point key = point_from_hex(hex);
        EXPECT_TRUE(ed25519_public_key_decodes(key));
        const Signature forged = forge_for_small_order_key(key);
        Point r{};
        std::copy(forged.begin(), forged.begin() + 32, r.begin());
        ASSERT_TRUE(equation_holds(forged, small_multiple(key, challenge(r, key, MESSAGE)[0] % 8)));
        EXPECT_EQ(verdict(key, forged, MESSAGE), ED25519_EQUATION_FAILED);
    }
}

// The secret scalar a of the key made from `seed` (A = [a]B), reduced
// modulo L.
Point secret_scalar(const Point& seed) {
    std::array<std::uint8_t, 64> expanded{};
    crypto_hash_sha512(expanded.data(), seed.data(), seed.size());
    expanded[0] &= 248;
    expanded[31] &= 127;
    expanded[31] |= 64;
    std::fill(expanded.begin() + 32, expanded.end(), 0);
    Point a{};
    crypto_core_ed25519_scalar_reduce(a.data(), expanded.data());
    return a;
}

TEST(Ed25519CraftedTest, SmallOrderRIsRefused) {
    const auto signer = test::SigningKey::generate();
    const Point& key = signer.public_key();
    // With R the identity, S = k * a makes [S]B - [k]A the identity: the
    // equation holds and only the small-order rule refuses it.
    Point seed{};
    randombytes_buf(seed.data(), seed.size());
    const auto seeded = test::SigningKey::from_seed(seed);
    const Point a = secret_scalar(seed);
    Point s{};
    crypto_core_ed25519_scalar_mul(s.data(), challenge(IDENTITY, seeded.public_key(), MESSAGE).data(), a.data());
    Point k_times_a{};
    ASSERT_EQ(
        crypto_scalarmult_ed25519_noclamp(k_times_a.data(), challenge(IDENTITY, seeded.public_key(), MESSAGE).data(),
                                          seeded.public_key().data()),
        0);
    ASSERT_TRUE(equation_holds(join(IDENTITY, s), k_times_a));
    EXPECT_EQ(verdict(seeded.public_key(), join(IDENTITY, s), MESSAGE), ED25519_EQUATION_FAILED);

    for (const auto hex : SMALL_ORDER_POINTS) {
        SCOPED_TRACE(hex);
        Signature signature = signer.sign(MESSAGE);
        const Point r = point_from_hex(hex);
        std::copy(r.begin(), r.end(), signature.begin());
        EXPECT_EQ(verdict(key, signature, MESSAGE), ED25519_EQUATION_FAILED);
    }
}

TEST(Ed25519CraftedTest, AMixedOrderKeyIsNotOfSmallOrderAndVerifies) {
    // A' = A + T with T of order 8 is not of small order ([8]A' = [8]A), so
    // a signature satisfying [S]B - [k]A' = R is valid: with R = [r]B - [t]T
    // and S = r + k * a, it is when k = t modulo 8.
    Point seed{};
    randombytes_buf(seed.data(), seed.size());
    const auto signer = test::SigningKey::from_seed(seed);
    const Point a = secret_scalar(seed);
    const Point torsion = point_from_hex(SMALL_ORDER_POINTS[4]);
    Point key{};
    ASSERT_EQ(crypto_core_ed25519_add(key.data(), signer.public_key().data(), torsion.data()), 0);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        Point r{};
        crypto_core_ed25519_scalar_random(r.data());
        Point rb{};
        ASSERT_EQ(crypto_scalarmult_ed25519_base_noclamp(rb.data(), r.data()), 0);
        const unsigned t = static_cast<unsigned>(attempt % 8);
        Point big_r{};
        ASSERT_EQ(crypto_core_ed25519_sub(big_r.data(), rb.data(), small_multiple(torsion, t).data()), 0);
        const Point k = challenge(big_r, key, MESSAGE);
        if (k[0] % 8 != t) continue;
        Point ka{};
        Point s{};
        crypto_core_ed25519_scalar_mul(ka.data(), k.data(), a.data());
        crypto_core_ed25519_scalar_add(s.data(), r.data(), ka.data());
        EXPECT_TRUE(ed25519_public_key_decodes(key));
        EXPECT_EQ(verdict(key, join(big_r, s), MESSAGE), "ok");
        Bytes other = MESSAGE;
        other[0] ^= 1;
        EXPECT_EQ(verdict(key, join(big_r, s), other), ED25519_EQUATION_FAILED);
        return;
    }
    FAIL() << "no signature found";
}

TEST(Ed25519CraftedTest, KeysThatDoNotDecode) {
    // y = 2 has no x on the curve; p + 3 encodes the valid y = 3 (which
    // libsodium's own decoder would accept after reducing it); p and p + 1
    // encode small-order points non-canonically; y = 1 and y = -1 with the
    // sign bit encode x = 0 as "negative zero".
    const std::string_view cases[] = {
        "0200000000000000000000000000000000000000000000000000000000000000",
        "f0ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
        "0100000000000000000000000000000000000000000000000000000000000080",
        "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
    };
    const auto signer = test::SigningKey::generate();
    const Signature signature = signer.sign(MESSAGE);
    for (const auto hex : cases) {
        SCOPED_TRACE(hex);
        const Point key = point_from_hex(hex);
        EXPECT_FALSE(ed25519_public_key_decodes(key));
        EXPECT_EQ(verdict(key, signature, MESSAGE), ED25519_KEY_NOT_A_POINT);
    }
    // The canonical encoding of y = 3 decodes.
    EXPECT_TRUE(
        ed25519_public_key_decodes(point_from_hex("0300000000000000000000000000000000000000000000000000000000000000")));
}

TEST(Ed25519CraftedTest, EachCauseText) {
    const auto signer = test::SigningKey::generate();
    const Point& key = signer.public_key();
    const Signature good = signer.sign(MESSAGE);
    ASSERT_EQ(verdict(key, good, MESSAGE), "ok");

    // S + L is the same scalar modulo L: accepted by lax verifiers.
    Signature malleable = good;
    unsigned char carry = 0;
    const Point order = point_from_hex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
    for (std::size_t i = 0; i < 32; ++i) {
        const unsigned sum = malleable[32 + i] + order[i] + carry;
        malleable[32 + i] = static_cast<std::uint8_t>(sum);
        carry = static_cast<unsigned char>(sum >> 8);
    }
    Signature s_is_l = good;
    std::copy(order.begin(), order.end(), s_is_l.begin() + 32);
    Signature s_all_ones = good;
    std::fill(s_all_ones.begin() + 32, s_all_ones.end(), 0xff);
    Signature s_below_l = good;
    std::copy(order.begin(), order.end(), s_below_l.begin() + 32);
    s_below_l[32] -= 1;

    Signature r_not_a_point = good;
    const Point y2 = point_from_hex("0200000000000000000000000000000000000000000000000000000000000000");
    std::copy(y2.begin(), y2.end(), r_not_a_point.begin());
    Signature r_sign_flipped = good;
    r_sign_flipped[31] ^= 0x80;

    const auto other = test::SigningKey::generate();
    Bytes other_message = MESSAGE;
    other_message.push_back('!');

    const struct {
        const char* name;
        Point key;
        Signature signature;
        Bytes message;
        std::string_view cause;
    } cases[] = {
        {"S + L", key, malleable, MESSAGE, ED25519_SCALAR_NOT_CANONICAL},
        {"S = L", key, s_is_l, MESSAGE, ED25519_SCALAR_NOT_CANONICAL},
        {"S = 2^256 - 1", key, s_all_ones, MESSAGE, ED25519_SCALAR_NOT_CANONICAL},
        {"S = L - 1", key, s_below_l, MESSAGE, ED25519_EQUATION_FAILED},
        {"R not a point", key, r_not_a_point, MESSAGE, ED25519_EQUATION_FAILED},
        {"R with x negated", key, r_sign_flipped, MESSAGE, ED25519_EQUATION_FAILED},
        {"another key", other.public_key(), good, MESSAGE, ED25519_EQUATION_FAILED},
        {"another message", key, good, other_message, ED25519_EQUATION_FAILED},
        // The key is judged before the scalar.
        {"bad key and S = L", point_from_hex("0200000000000000000000000000000000000000000000000000000000000000"),
         s_is_l, MESSAGE, ED25519_KEY_NOT_A_POINT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(verdict(c.key, c.signature, c.message), c.cause);
    }
}

// The message's SHA-512 comes from the platform's provider and the equation
// from libsodium's group operations, not from crypto_sign_verify_detached:
// on every vector, and on each with a bit of R flipped or R or the key
// replaced by a point of small order, the two must decide alike.
TEST(Ed25519CraftedTest, AgreesWithLibsodiumsOwnVerification) {
    const Point order = point_from_hex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
    const auto reference = [&](const Bytes& key, const Bytes& signature, const Bytes& message) -> std::string {
        if (key.size() != ED25519_PUBLIC_KEY_BYTES || signature.size() != ED25519_SIGNATURE_BYTES) return "length";
        if (!ed25519_public_key_decodes(std::span<const std::uint8_t, 32>(key.data(), 32))) {
            return std::string(ED25519_KEY_NOT_A_POINT);
        }
        if (sodium_compare(signature.data() + 32, order.data(), order.size()) >= 0) {
            return std::string(ED25519_SCALAR_NOT_CANONICAL);
        }
        return crypto_sign_verify_detached(signature.data(), message.data(), message.size(), key.data()) == 0
                   ? "ok"
                   : std::string(ED25519_EQUATION_FAILED);
    };
    int compared = 0;
    const auto compare = [&](const Bytes& key, const Bytes& signature, const Bytes& message) {
        EXPECT_EQ(verdict(key, signature, message), reference(key, signature, message));
        ++compared;
    };
    const auto document = conformance("wycheproof_eddsa_test.json");
    for (const auto& group : document["testGroups"]) {
        const Bytes key = from_hex(group["publicKey"]["pk"].get<std::string>());
        for (const auto& t : group["tests"]) {
            SCOPED_TRACE("tcId " + std::to_string(t["tcId"].get<int>()));
            const Bytes signature = from_hex(t["sig"].get<std::string>());
            const Bytes message = from_hex(t["msg"].get<std::string>());
            compare(key, signature, message);
            if (signature.size() != ED25519_SIGNATURE_BYTES) continue;
            for (const int bit : {0, 9, 130, 255}) {
                Bytes changed = signature;
                changed[static_cast<std::size_t>(bit / 8)] ^= static_cast<std::uint8_t>(1u << (bit % 8));
                compare(key, changed, message);
            }
            for (const std::string_view hex : SMALL_ORDER_POINTS) {
                const Bytes point = from_hex(hex);
                Bytes small_r = signature;
                std::copy(point.begin(), point.end(), small_r.begin());
                compare(key, small_r, message);
                compare(point, signature, message);
            }
        }
    }
    EXPECT_GT(compared, 2000);
}

}  // namespace
}  // namespace tessaryndle::agent
