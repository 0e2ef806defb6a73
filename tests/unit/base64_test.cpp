#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "common/base64.h"
#include "tests/support/release_signing.h"

namespace tessaryndle {
namespace {

std::string outcome(std::string_view text) {
    const auto decoded = base64_decode(text);
    if (!decoded) return decoded.error();
    return "ok:" + std::string(decoded->begin(), decoded->end());
}

// The vectors of RFC 4648, section 10, and the two symbols past "9": each
// text is what the product's encoder writes for its bytes, and what the
// decoder accepts for them.
TEST(Base64Test, EncodesAndDecodesCanonicalText) {
    const struct {
        std::string_view text;
        std::string_view bytes;
    } cases[] = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYg==", "foob"},
        {"Zm9vYmE=", "fooba"},
        {"Zm9vYmFy", "foobar"},
        {"+/+/", "\xfb\xff\xbf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(outcome(c.text), "ok:" + std::string(c.bytes));
        EXPECT_EQ(base64_encode(std::span(reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size())),
                  c.text);
    }
}

TEST(Base64Test, RoundTripsEveryLength) {
    std::string bytes;
    for (int length = 0; length < 70; ++length) {
        SCOPED_TRACE(length);
        EXPECT_EQ(outcome(test::base64_encode(bytes)), "ok:" + bytes);
        bytes.push_back(static_cast<char>(length * 37 + 11));
    }
}

TEST(Base64Test, RefusalsCarryTheirDetailText) {
    const struct {
        std::string_view text;
        std::string_view detail;
    } cases[] = {
        // Bytes outside the alphabet, by value and position.
        {"Zm9v!mFy", "Invalid symbol 33, offset 4."},
        {" Zm9v", "Invalid symbol 32, offset 0."},
        {"Zm9v\n", "Invalid symbol 10, offset 4."},
        {"Zm9vYg==\n", "Invalid symbol 10, offset 8."},
        {"Zm-_", "Invalid symbol 45, offset 2."},
        {"Zm9\xc3\xa9", "Invalid symbol 195, offset 3."},
        {std::string_view("Zm\0v", 4), "Invalid symbol 0, offset 2."},
        // "=" anywhere but at the end of the final group, after two symbols.
        {"Zg==Zg==", "Invalid symbol 61, offset 2."},
        {"=AAA", "Invalid symbol 61, offset 0."},
        {"A===", "Invalid symbol 61, offset 1."},
        {"AA=A", "Invalid symbol 61, offset 2."},
        {"AAA==", "Invalid symbol 61, offset 3."},
        {"AAAA=", "Invalid symbol 61, offset 4."},
        {"====", "Invalid symbol 61, offset 0."},
        // A symbol count that no byte string encodes to.
        {"A", "Invalid input length: 1"},
        {"AAAAA", "Invalid input length: 5"},
        {"Zm9vYmFyZ", "Invalid input length: 9"},
        // Padding missing, incomplete or surplus.
        {"Zg", "Invalid padding"},
        {"Zg=", "Invalid padding"},
        {"Zm8", "Invalid padding"},
        {"Zm9vYg", "Invalid padding"},
        // Non-zero bits beyond the decoded bytes.
        {"Zh==", "Invalid last symbol 104, offset 1."},
        {"Zm9=", "Invalid last symbol 57, offset 2."},
        {"Zm9vYh==", "Invalid last symbol 104, offset 5."},
        {"AB==", "Invalid last symbol 66, offset 1."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(outcome(c.text), c.detail);
    }
}

TEST(Base64Test, KeyAndSignatureLengths) {
    // A 32-byte key is 44 characters with one "="; a 64-byte signature 88
    // with "==". Without its padding a signature is refused, not repaired.
    const std::string key = test::base64_encode(std::string(32, '\x01'));
    const std::string signature = test::base64_encode(std::string(64, '\x02'));
    ASSERT_EQ(key.size(), 44u);
    ASSERT_EQ(signature.size(), 88u);
    EXPECT_EQ(base64_decode(key)->size(), 32u);
    EXPECT_EQ(base64_decode(signature)->size(), 64u);
    EXPECT_EQ(outcome(signature.substr(0, 86)), "Invalid padding");
    EXPECT_EQ(outcome(signature.substr(0, 87)), "Invalid padding");
}

}  // namespace
}  // namespace tessaryndle
