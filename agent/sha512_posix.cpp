#include <openssl/evp.h>

#include <memory>

#include "agent/sha512.h"

namespace tessaryndle::agent {
namespace {

struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

std::optional<Sha512Digest> sha512(std::initializer_list<std::span<const std::uint8_t>> parts) {
    const std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha512(), nullptr) != 1) return std::nullopt;
    for (const auto part : parts) {
        if (EVP_DigestUpdate(context.get(), part.data(), part.size()) != 1) return std::nullopt;
    }
    Sha512Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) return std::nullopt;
    return digest;
}

}  // namespace tessaryndle::agent
