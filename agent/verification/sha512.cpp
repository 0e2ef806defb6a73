#include "agent/verification/sha512.h"

#include "agent/verification/digest_platform.h"

namespace tessaryndle::agent {

std::optional<Sha512Digest> sha512(std::initializer_list<std::span<const std::uint8_t>> parts) {
    Sha512Digest digest{};
    if (!digest_detail::compute_digest(digest_detail::Algorithm::sha512, parts, digest)) return std::nullopt;
    return digest;
}

}  // namespace tessaryndle::agent
