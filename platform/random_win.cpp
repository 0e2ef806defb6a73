#include <windows.h>

#include <bcrypt.h>

#include <algorithm>

#include "platform/random.h"

namespace tessaryndle::platform {
namespace {

using ProcessPrngFunction = BOOL(WINAPI*)(PBYTE, SIZE_T);

// ProcessPrng lives in bcryptprimitives.dll, which Wine and older Windows
// lack; it is looked up once, and BCryptGenRandom stands in where it is
// missing, so that every program still starts there.
ProcessPrngFunction process_prng() {
    static const ProcessPrngFunction function = [] {
        HMODULE module = LoadLibraryExW(L"bcryptprimitives.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (module == nullptr) return ProcessPrngFunction{};
        return reinterpret_cast<ProcessPrngFunction>(reinterpret_cast<void*>(GetProcAddress(module, "ProcessPrng")));
    }();
    return function;
}

}  // namespace

OsResult<void> system_random_bytes(std::span<std::uint8_t> out) {
    if (const ProcessPrngFunction prng = process_prng()) {
        // Documented to return TRUE always; anything else is a failure.
        if (!prng(out.data(), out.size())) return std::unexpected(OsError::custom("ProcessPrng failed"));
        return {};
    }
    // BCryptGenRandom takes a 32-bit length; ask in pieces.
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(out.size() - filled, 1u << 30));
        const NTSTATUS status = BCryptGenRandom(nullptr, out.data() + filled, piece, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (!BCRYPT_SUCCESS(status)) return std::unexpected(OsError::from_code(static_cast<std::int64_t>(status)));
        filled += piece;
    }
    return {};
}

}  // namespace tessaryndle::platform
