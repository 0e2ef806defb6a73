#pragma once
// Random bytes from the operating system's cryptographic source, for names
// that must not be guessed (session directories, scratch directories).

#include <cstdint>
#include <span>

#include "platform/os_error.h"

namespace tessaryndle::platform {

// Fills `out` completely: ProcessPrng on Windows (looked up at run time,
// with BCryptGenRandom where bcryptprimitives.dll lacks it, as on Wine);
// getrandom(2) elsewhere. Fails only when the source itself fails.
[[nodiscard]] OsResult<void> system_random_bytes(std::span<std::uint8_t> out);

}  // namespace tessaryndle::platform
