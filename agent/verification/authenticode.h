#pragma once
// Authenticode trust of the product's executables: the application, the
// launcher and the agent must carry a signature that the machine trusts.

#include <cstdint>
#include <filesystem>

#include "common/update_error.h"

namespace tessaryndle::agent {

// The trust provider's verdict for one file: 0 when the file's Authenticode
// signature is valid and trusted here, a Windows status otherwise
// (0x800B0100 no signature, 0x80096010 digest mismatch, 0x800B0109 untrusted
// root, 0x800B0003 not a PE file, or the system error when the file cannot
// be opened). WinVerifyTrust on Windows; an equivalent OpenSSL-based
// verifier elsewhere.
[[nodiscard]] std::uint32_t authenticode_status(const std::filesystem::path& file);

// InvalidArtifact "{path} does not have a valid Authenticode signature (0x{status})"
// unless the status is 0.
[[nodiscard]] Result<void> verify_authenticode(const std::filesystem::path& file);

// The new build in `directory` holds the application, the launcher and the
// agent (presence checked first, following links), each trusted.
[[nodiscard]] Result<void> verify_update_payload(const std::filesystem::path& directory);

// The installation in `directory` holds the launcher, the agent and
// current.json (presence first), and its launcher and agent are trusted.
[[nodiscard]] Result<void> verify_installation(const std::filesystem::path& directory);

}  // namespace tessaryndle::agent
