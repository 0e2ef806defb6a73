#include "tests/support/release_signing.h"

#include <sodium.h>

#include <stdexcept>

#include "tests/support/test_support.h"

namespace tessaryndle::test {
namespace {

void require_sodium() {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

SigningKey SigningKey::test_release() {
    const std::string hex = trimmed(read_file(source_dir() / "tests" / "keys" / "test_release_seed.hex"));
    std::array<std::uint8_t, 32> seed{};
    std::size_t length = 0;
    if (sodium_hex2bin(seed.data(), seed.size(), hex.data(), hex.size(), nullptr, &length, nullptr) != 0 ||
        length != seed.size()) {
        throw std::runtime_error("tests/keys/test_release_seed.hex does not hold 32 bytes in hexadecimal");
    }
    return from_seed(seed);
}

SigningKey SigningKey::from_seed(std::span<const std::uint8_t, 32> seed) {
    require_sodium();
    SigningKey key;
    crypto_sign_seed_keypair(key.public_key_.data(), key.secret_key_.data(), seed.data());
    return key;
}

SigningKey SigningKey::generate() {
    require_sodium();
    SigningKey key;
    crypto_sign_keypair(key.public_key_.data(), key.secret_key_.data());
    return key;
}

std::string SigningKey::public_key_base64() const { return base64_encode(public_key_); }

std::array<std::uint8_t, 64> SigningKey::sign(std::span<const std::uint8_t> message) const {
    std::array<std::uint8_t, 64> signature{};
    crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), secret_key_.data());
    return signature;
}

std::string SigningKey::sign_base64(std::string_view message) const { return base64_encode(sign(as_bytes(message))); }

std::string test_release_public_key() {
    return trimmed(read_file(source_dir() / "tests" / "keys" / "test_release_public_key.txt"));
}

std::string sign_release_bytes(std::string_view bytes) { return SigningKey::test_release().sign_base64(bytes); }

std::string sign_release_file(const std::filesystem::path& file) { return sign_release_bytes(read_file(file)); }

std::string base64_encode(std::span<const std::uint8_t> bytes) {
    std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    text.pop_back();  // the terminating NUL
    return text;
}

std::string base64_encode(std::string_view bytes) { return base64_encode(as_bytes(bytes)); }

std::string sha256_hex(std::string_view bytes) {
    std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256(digest.data(), as_bytes(bytes).data(), bytes.size());
    std::string hex(digest.size() * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
    hex.pop_back();
    return hex;
}

SerializableArtifact release_artifact_for(const std::filesystem::path& archive, bool with_sha256) {
    const std::string bytes = read_file(archive);
    SerializableArtifact artifact;
    artifact.url = "https://updates.example.com/tessaryndle/update.zip";
    artifact.content_length = bytes.size();
    artifact.ed25519_signature = sign_release_bytes(bytes);
    if (with_sha256) artifact.sha256 = sha256_hex(bytes);
    return artifact;
}

}  // namespace tessaryndle::test
