#pragma once
// Ed25519 verification with the release public key on the application's
// side (libsodium, which refuses non-canonical signatures and small-order
// keys): the feed's signature and the downloaded archive's.

#include <cstdint>
#include <span>
#include <string_view>

#include "common/update_error.h"

namespace tessaryndle::client {

// Whether `signature` (Base64 of 64 bytes) is the signature of the key
// `public_key` (Base64 of 32 bytes) over `message`. Failure:
// InvalidSignature "the release public key is not Base64 of 32 bytes",
// "{what} signature is not Base64 of 64 bytes" or "{what} is not signed by
// the release key".
[[nodiscard]] Result<void> verify_release_signature(std::string_view public_key, std::string_view signature,
                                                    std::span<const std::uint8_t> message, std::string_view what);

}  // namespace tessaryndle::client
