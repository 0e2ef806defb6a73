#include <openssl/evp.h>

#include <memory>

#include "agent/verification/digest_platform.h"

namespace tessaryndle::agent::digest_detail {
namespace {

struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

bool compute_digest(Algorithm algorithm, std::initializer_list<std::span<const std::uint8_t>> parts,
                    std::span<std::uint8_t> digest) {
    const EVP_MD* method = algorithm == Algorithm::sha256 ? EVP_sha256() : EVP_sha512();
    const std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), method, nullptr) != 1) return false;
    for (const auto part : parts) {
        if (EVP_DigestUpdate(context.get(), part.data(), part.size()) != 1) return false;
    }
    unsigned int length = 0;
    return EVP_DigestFinal_ex(context.get(), digest.data(), &length) == 1 && length == digest.size();
}

}  // namespace tessaryndle::agent::digest_detail
