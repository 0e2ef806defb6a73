#include "client/release_signature.h"

#include <sodium.h>

#include <string>

#include "common/base64.h"

namespace tessaryndle::client {

Result<void> verify_release_signature(std::string_view public_key, std::string_view signature,
                                      std::span<const std::uint8_t> message, std::string_view what) {
    if (sodium_init() < 0) return fail(UpdateError::invalid_signature("libsodium could not be initialised"));
    const auto key = base64_decode(public_key);
    if (!key || key->size() != crypto_sign_PUBLICKEYBYTES) {
        return fail(UpdateError::invalid_signature("the release public key is not Base64 of 32 bytes"));
    }
    const auto bytes = base64_decode(signature);
    if (!bytes || bytes->size() != crypto_sign_BYTES) {
        return fail(UpdateError::invalid_signature(std::string(what) + " signature is not Base64 of 64 bytes"));
    }
    if (crypto_sign_verify_detached(bytes->data(), message.data(), message.size(), key->data()) != 0) {
        return fail(UpdateError::invalid_signature(std::string(what) + " is not signed by the release key"));
    }
    return {};
}

}  // namespace tessaryndle::client
