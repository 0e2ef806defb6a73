#pragma once
// Signing for tests. Test builds embed the test release key
// (tests/keys/test_release_public_key.txt, Base64 of the public key) as the
// release key; tests/keys/test_release_seed.hex holds the 32-byte Ed25519
// seed of its secret half, so tests can make archives that the agent
// accepts. SigningKey::from_seed/generate give other keys for "signed by
// someone else" cases.

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "agent/plan/plan.h"

namespace tessaryndle::test {

class SigningKey {
public:
    // The test release key, read from tests/keys.
    [[nodiscard]] static SigningKey test_release();
    [[nodiscard]] static SigningKey from_seed(std::span<const std::uint8_t, 32> seed);
    // A fresh random key.
    [[nodiscard]] static SigningKey generate();

    [[nodiscard]] const std::array<std::uint8_t, 32>& public_key() const { return public_key_; }
    // Base64 (standard alphabet, padded: 44 characters).
    [[nodiscard]] std::string public_key_base64() const;
    // Plain Ed25519 signature of `message` (R || S).
    [[nodiscard]] std::array<std::uint8_t, 64> sign(std::span<const std::uint8_t> message) const;
    // Base64 of sign(message) (88 characters).
    [[nodiscard]] std::string sign_base64(std::string_view message) const;

private:
    SigningKey() = default;
    std::array<std::uint8_t, 64> secret_key_{};
    std::array<std::uint8_t, 32> public_key_{};
};

// The text of tests/keys/test_release_public_key.txt without trailing white
// space: the key the test build's agent trusts.
[[nodiscard]] std::string test_release_public_key();

// Base64 of the test release key's signature of `bytes` / of the file's bytes.
[[nodiscard]] std::string sign_release_bytes(std::string_view bytes);
[[nodiscard]] std::string sign_release_file(const std::filesystem::path& file);

// Standard padded Base64 of any bytes.
[[nodiscard]] std::string base64_encode(std::span<const std::uint8_t> bytes);
[[nodiscard]] std::string base64_encode(std::string_view bytes);
// Lower-case hexadecimal SHA-256 of the bytes.
[[nodiscard]] std::string sha256_hex(std::string_view bytes);

// An artifact record that matches `archive` as it is on disk: its size, the
// test release key's signature and, when `with_sha256`, its digest; the URL
// is "https://updates.example.com/tessaryndle/update.zip".
[[nodiscard]] SerializableArtifact release_artifact_for(const std::filesystem::path& archive, bool with_sha256 = true);

}  // namespace tessaryndle::test
