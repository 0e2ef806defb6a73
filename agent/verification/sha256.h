#pragma once
// SHA-256 of bytes held in memory, computed by the platform's cryptography
// provider: CNG on Windows, OpenSSL's EVP elsewhere. Both use the CPU's SHA
// instructions where present, several times faster on a large archive than
// a portable C implementation.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace tessaryndle::agent {

using Sha256Digest = std::array<std::uint8_t, 32>;

// The digest of `bytes`, read in place; nullopt only when the provider
// itself fails.
[[nodiscard]] std::optional<Sha256Digest> sha256(std::span<const std::uint8_t> bytes);

}  // namespace tessaryndle::agent
