#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <limits>

#include "agent/sha256.h"

namespace tessaryndle::agent {
namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

// Closes the algorithm provider and the hash object on every path.
struct HashState {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    HashState() = default;
    HashState(const HashState&) = delete;
    HashState& operator=(const HashState&) = delete;
    ~HashState() {
        if (hash != nullptr) BCryptDestroyHash(hash);
        if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};

}  // namespace

std::optional<Sha256Digest> sha256(std::span<const std::uint8_t> bytes) {
    // BCryptHash takes a 32-bit length and an archive may be longer, so the
    // bytes are fed through a hash object in pieces of at most 2 GiB.
    HashState state;
    if (!succeeded(BCryptOpenAlgorithmProvider(&state.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !succeeded(BCryptCreateHash(state.algorithm, &state.hash, nullptr, 0, nullptr, 0, 0))) {
        return std::nullopt;
    }
    constexpr std::size_t piece = std::size_t{std::numeric_limits<ULONG>::max() / 2} + 1;
    for (std::size_t offset = 0; offset < bytes.size(); offset += piece) {
        const std::size_t length = std::min(piece, bytes.size() - offset);
        if (!succeeded(
                BCryptHashData(state.hash, const_cast<PUCHAR>(bytes.data() + offset), static_cast<ULONG>(length), 0))) {
            return std::nullopt;
        }
    }
    Sha256Digest digest{};
    if (!succeeded(BCryptFinishHash(state.hash, digest.data(), static_cast<ULONG>(digest.size()), 0))) {
        return std::nullopt;
    }
    return digest;
}

}  // namespace tessaryndle::agent
