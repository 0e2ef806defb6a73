#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <limits>

#include "agent/verification/digest_platform.h"

namespace tessaryndle::agent::digest_detail {
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

bool compute_digest(Algorithm algorithm, std::initializer_list<std::span<const std::uint8_t>> parts,
                    std::span<std::uint8_t> digest) {
    const wchar_t* name = algorithm == Algorithm::sha256 ? BCRYPT_SHA256_ALGORITHM : BCRYPT_SHA512_ALGORITHM;
    HashState state;
    if (!succeeded(BCryptOpenAlgorithmProvider(&state.algorithm, name, nullptr, 0)) ||
        !succeeded(BCryptCreateHash(state.algorithm, &state.hash, nullptr, 0, nullptr, 0, 0))) {
        return false;
    }
    // BCryptHashData takes a 32-bit length and an archive may be longer, so
    // the bytes are fed in pieces of at most 2 GiB.
    constexpr std::size_t piece = std::size_t{std::numeric_limits<ULONG>::max() / 2} + 1;
    for (const auto part : parts) {
        for (std::size_t offset = 0; offset < part.size(); offset += piece) {
            const std::size_t length = std::min(piece, part.size() - offset);
            if (!succeeded(BCryptHashData(state.hash, const_cast<PUCHAR>(part.data() + offset),
                                          static_cast<ULONG>(length), 0))) {
                return false;
            }
        }
    }
    return succeeded(BCryptFinishHash(state.hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
}

}  // namespace tessaryndle::agent::digest_detail
