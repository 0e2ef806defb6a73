#pragma once
// SHA-512 of bytes held in memory, computed by the platform's cryptography
// provider (CNG on Windows, OpenSSL's EVP elsewhere): the pass over the whole
// archive inside Ed25519 verification, about a quarter faster than
// libsodium's portable code.

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>

namespace tessaryndle::agent {

using Sha512Digest = std::array<std::uint8_t, 64>;

// The digest of the parts one after the other, each read in place; nullopt
// only when the provider itself fails.
[[nodiscard]] std::optional<Sha512Digest> sha512(std::initializer_list<std::span<const std::uint8_t>> parts);

}  // namespace tessaryndle::agent
