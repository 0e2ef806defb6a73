#include "agent/verification/sha256.h"

#include "agent/verification/digest_platform.h"

namespace tessaryndle::agent {

std::optional<Sha256Digest> sha256(std::span<const std::uint8_t> bytes) {
    Sha256Digest digest{};
    if (!digest_detail::compute_digest(digest_detail::Algorithm::sha256, {bytes}, digest)) return std::nullopt;
    return digest;
}

}  // namespace tessaryndle::agent
