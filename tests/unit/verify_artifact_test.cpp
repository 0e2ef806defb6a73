#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>

#include "agent/verification/verify.h"
#include "platform/input_file.h"
#include "platform/text.h"
#include "tests/support/link_swap.h"
#include "tests/support/release_signing.h"
#include "tests/support/result_text.h"
#include "tests/support/test_support.h"

namespace tessaryndle::agent {
namespace {

namespace fs = std::filesystem;

using test::outcome;

std::string invalid_artifact(std::string_view text) { return "the update artifact is invalid: " + std::string(text); }
std::string invalid_signature(std::string_view text) { return "the update signature is invalid: " + std::string(text); }

// An archive on disk with an artifact record and key that match it.
class VerifyArtifactTest : public ::testing::Test {
protected:
    VerifyArtifactTest() {
        for (std::size_t i = 0; i < 5000; ++i) bytes_.push_back(static_cast<char>(i * 131 % 251));
        test::write_file(archive_, bytes_);
        artifact_.url = "https://updates.example.com/tessaryndle/update.zip";
        artifact_.content_length = bytes_.size();
        artifact_.ed25519_signature = key_.sign_base64(bytes_);
        artifact_.sha256 = test::sha256_hex(bytes_);
    }

    [[nodiscard]] std::string verify() const { return outcome(verify_artifact(archive_, artifact_, key_text_)); }

    test::TempDir dir_;
    fs::path archive_ = dir_ / "update.zip";
    std::string bytes_;
    test::SigningKey key_ = test::SigningKey::test_release();
    std::string key_text_ = key_.public_key_base64();
    VerifiedArtifact artifact_;
};

TEST_F(VerifyArtifactTest, AcceptsTheAnnouncedArchive) {
    ASSERT_EQ(key_text_, test::test_release_public_key());
    EXPECT_EQ(verify(), "ok");
    // The digest may be written in upper case.
    std::string upper = *artifact_.sha256;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return static_cast<char>(std::toupper(c)); });
    artifact_.sha256 = upper;
    EXPECT_EQ(verify(), "ok");
    // Without a digest the signature alone decides.
    artifact_.sha256.reset();
    EXPECT_EQ(verify(), "ok");
    // The archive is left as it was.
    EXPECT_EQ(test::read_file(archive_), bytes_);
}

TEST_F(VerifyArtifactTest, SizeIsJudgedFirstWithTheExpectedSizeInTheText) {
    // Key and signature broken too: the size decides.
    key_text_ = "!";
    artifact_.ed25519_signature = "!";
    for (const std::int64_t delta : {-1, 1}) {
        SCOPED_TRACE(delta);
        artifact_.content_length = bytes_.size() + delta;
        EXPECT_EQ(verify(), invalid_artifact("archive is not a regular " + std::to_string(artifact_.content_length) +
                                             " byte file"));
    }
}

TEST_F(VerifyArtifactTest, ADirectoryInPlaceOfTheArchiveIsNotARegularFile) {
    fs::remove(archive_);
    fs::create_directory(archive_);
    artifact_.content_length = 1048576;
    EXPECT_EQ(verify(), invalid_artifact("archive is not a regular 1048576 byte file"));
}

TEST_F(VerifyArtifactTest, ALinkToAPerfectArchiveIsNotARegularFile) {
    if (test::on_windows()) GTEST_SKIP() << "links are tested natively; Wine's reparse points are unreliable";
    const fs::path target = dir_ / "real.zip";
    fs::rename(archive_, target);
    fs::create_symlink(target, archive_);
    EXPECT_EQ(verify(), invalid_artifact("archive is not a regular 5000 byte file"));
}

// The archive's name keeps changing between a plain file of the announced
// size that is not the archive and a link to the real archive. The plain
// file never verifies, so a verification that succeeds has looked at the
// entry and then read through the link.
TEST_F(VerifyArtifactTest, AnArchiveSwappedForALinkIsNeverVerifiedThroughIt) {
    if (test::on_windows()) GTEST_SKIP() << "links are tested natively; Wine's reparse points are unreliable";
    const fs::path real = dir_ / "real.zip";
    const fs::path plain = dir_ / "plain.zip";
    fs::rename(archive_, real);
    test::write_file(plain, std::string(bytes_.size(), 'x'));
    const int through_link = test::successes_while_swapping(
        archive_, plain, real, [&] { return verify_artifact(archive_, artifact_, key_text_).has_value(); });
    EXPECT_EQ(through_link, 0);
}

// What the caller opened is what is verified, whatever the name names once
// it is open.
TEST_F(VerifyArtifactTest, AnOpenArchiveIsVerifiedAsOpened) {
    if (test::on_windows()) GTEST_SKIP() << "links are tested natively; Wine's reparse points are unreliable";
    const fs::path other = dir_ / "other.zip";
    test::write_file(other, std::string(bytes_.size(), 'x'));
    {
        const auto opened = platform::InputFile::open_no_follow(archive_);
        ASSERT_TRUE(opened);
        fs::rename(archive_, dir_ / "real.zip");
        fs::create_symlink(other, archive_);
        EXPECT_EQ(outcome(verify_artifact(*opened, archive_, artifact_, key_text_)), "ok");
    }
    fs::remove(archive_);
    fs::rename(other, archive_);
    const auto opened = platform::InputFile::open_no_follow(archive_);
    ASSERT_TRUE(opened);
    EXPECT_EQ(outcome(verify_artifact(*opened, archive_, artifact_, key_text_)),
              invalid_artifact("SHA-256 mismatch: expected " + *artifact_.sha256 + ", received " +
                               test::sha256_hex(std::string(bytes_.size(), 'x'))));
    artifact_.content_length += 1;
    EXPECT_EQ(outcome(verify_artifact(*opened, archive_, artifact_, key_text_)),
              invalid_artifact("archive is not a regular 5001 byte file"));
}

TEST_F(VerifyArtifactTest, AMissingArchiveIsAnIoErrorAtItsPath) {
    fs::remove(archive_);
    const auto result = verify_artifact(archive_, artifact_, key_text_);
    EXPECT_EQ(test::io_error_at(result), test::io_at(archive_));
    EXPECT_TRUE(outcome(result).starts_with("I/O error at " + path_display(archive_) + ": "));
}

TEST_F(VerifyArtifactTest, AnEmptyArchiveCannotBeMappedAndIsAnIoError) {
    test::write_file(archive_, "");
    artifact_.content_length = 0;
    artifact_.ed25519_signature = key_.sign_base64("");
    artifact_.sha256 = test::sha256_hex("");
    EXPECT_EQ(test::io_error_at(verify_artifact(archive_, artifact_, key_text_)), test::io_at(archive_));
}

TEST_F(VerifyArtifactTest, DigestMismatchQuotesThePlansTextAsWritten) {
    const std::string actual = *artifact_.sha256;
    std::string other = actual;
    other[0] = other[0] == '0' ? '1' : '0';
    std::string upper_other = other;
    std::transform(upper_other.begin(), upper_other.end(), upper_other.begin(),
                   [](char c) { return static_cast<char>(std::toupper(c)); });
    for (const std::string& expected : {actual.substr(0, 63), actual.substr(1), actual + "0", std::string(), other,
                                        upper_other, " " + actual.substr(1)}) {
        SCOPED_TRACE(expected);
        artifact_.sha256 = expected;
        EXPECT_EQ(verify(), invalid_artifact("SHA-256 mismatch: expected " + expected + ", received " + actual));
    }
    // The digest is compared before the signature.
    artifact_.sha256 = other;
    artifact_.ed25519_signature = test::SigningKey::generate().sign_base64(bytes_);
    EXPECT_EQ(verify(), invalid_artifact("SHA-256 mismatch: expected " + other + ", received " + actual));
}

TEST_F(VerifyArtifactTest, KeyAndSignatureRefusalsInOrder) {
    const std::string signature = artifact_.ed25519_signature;
    const struct {
        const char* name;
        std::string key;
        std::string signature;
        std::string message;
    } cases[] = {
        {"key not Base64", "HD2s5xPBrHsyJENOQOK+qVS4xSiUVPi2Qwm0VuhTWHI", "!",
         invalid_signature("decode public key: Invalid padding")},
        {"key with a space", " " + key_text_, signature,
         invalid_signature("decode public key: Invalid symbol 32, offset 0.")},
        // The key's length is checked before the signature is decoded.
        {"31-byte key", test::base64_encode(std::string(31, 'k')), "!",
         invalid_signature("public key must contain 32 bytes")},
        {"33-byte key", test::base64_encode(std::string(33, 'k')), "!",
         invalid_signature("public key must contain 32 bytes")},
        {"empty key", "", signature, invalid_signature("public key must contain 32 bytes")},
        {"86-character signature", key_text_, signature.substr(0, 86),
         invalid_signature("decode signature: Invalid padding")},
        {"signature with trailing newline", key_text_, signature + "\n",
         invalid_signature("decode signature: Invalid symbol 10, offset 88.")},
        {"signature with non-zero trailing bits", key_text_,
         signature.substr(0, 85) + "B==", invalid_signature("decode signature: Invalid last symbol 66, offset 85.")},
        {"32-byte signature", key_text_, test::base64_encode(std::string(32, 's')),
         invalid_signature("signature error")},
        {"65-byte signature", key_text_, test::base64_encode(std::string(65, 's')),
         invalid_signature("signature error")},
        // The key must be a curve point before the archive is even opened.
        {"key not a point", test::base64_encode(std::string("\x02") + std::string(31, '\0')), signature,
         invalid_signature("signature error: Cannot decompress Edwards point")},
        {"key not a point, signature short", test::base64_encode(std::string("\x02") + std::string(31, '\0')),
         test::base64_encode(std::string(32, 's')), invalid_signature("signature error")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        key_text_ = c.key;
        artifact_.ed25519_signature = c.signature;
        EXPECT_EQ(verify(), c.message);
    }
}

TEST_F(VerifyArtifactTest, SignatureCauses) {
    const auto other_key = test::SigningKey::generate();
    const std::string made_by_other_key = other_key.sign_base64(bytes_);
    const std::string over_other_bytes = key_.sign_base64(bytes_ + "x");
    // S + L: the same signature modulo the group order.
    auto raw = key_.sign({reinterpret_cast<const std::uint8_t*>(bytes_.data()), bytes_.size()});
    const std::uint8_t order[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                    0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};
    unsigned carry = 0;
    for (std::size_t i = 0; i < 32; ++i) {
        const unsigned sum = raw[32 + i] + order[i] + carry;
        raw[32 + i] = static_cast<std::uint8_t>(sum);
        carry = sum >> 8;
    }
    const std::string high_s = test::base64_encode(raw);

    const std::string equation = invalid_signature("signature error: Verification equation was not satisfied");
    const struct {
        const char* name;
        std::string signature;
        std::string message;
    } cases[] = {
        {"made with another key", made_by_other_key, equation},
        {"over another archive", over_other_bytes, equation},
        {"S not below L", high_s, invalid_signature("signature error: Cannot use scalar with high-bit set")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        artifact_.ed25519_signature = c.signature;
        artifact_.sha256.reset();
        EXPECT_EQ(verify(), c.message);
        // With the right digest, computed beside the signature, the
        // signature still decides.
        artifact_.sha256 = test::sha256_hex(bytes_);
        EXPECT_EQ(verify(), c.message);
    }
    // A signature of the archive checked against another key.
    artifact_.ed25519_signature = key_.sign_base64(bytes_);
    key_text_ = other_key.public_key_base64();
    EXPECT_EQ(verify(), equation);
}

TEST_F(VerifyArtifactTest, TheSignatureCoversEveryByte) {
    for (const std::size_t position : {std::size_t{0}, bytes_.size() / 2, bytes_.size() - 1}) {
        SCOPED_TRACE(position);
        std::string changed = bytes_;
        changed[position] ^= 0x01;
        test::write_file(archive_, changed);
        artifact_.sha256.reset();
        EXPECT_EQ(verify(), invalid_signature("signature error: Verification equation was not satisfied"));
    }
}

}  // namespace
}  // namespace tessaryndle::agent
