#pragma once
// The platform's cryptography provider behind agent/verification/sha256.h and
// agent/verification/sha512.h: CNG on Windows (digest_win.cpp), OpenSSL's EVP elsewhere
// (digest_posix.cpp). Not for other modules.

#include <cstdint>
#include <initializer_list>
#include <span>

namespace tessaryndle::agent::digest_detail {

enum class Algorithm { sha256, sha512 };

// Hashes the parts one after the other, each read in place, and writes the
// digest to `digest`, whose size must be the algorithm's digest size. False
// only when the provider itself fails.
[[nodiscard]] bool compute_digest(Algorithm algorithm, std::initializer_list<std::span<const std::uint8_t>> parts,
                                  std::span<std::uint8_t> digest);

}  // namespace tessaryndle::agent::digest_detail
