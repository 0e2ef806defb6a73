#pragma once
// The agent's side of the install plan (the record itself is in
// common/install_plan.h): loading it safely, and the rules that decide
// whether the agent may act on it.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/install_plan.h"
#include "common/update_error.h"
#include "platform/files.h"

namespace tessaryndle::agent {

// The release key, Base64 of 32 bytes. Test builds embed a test key.
inline constexpr std::string_view TRUSTED_RELEASE_PUBLIC_KEY = TESSARYNDLE_RELEASE_PUBLIC_KEY;

// The artifact record after its URL was parsed as an absolute URL.
struct VerifiedArtifact {
    std::string url;  // the parsed URL, serialised
    std::string ed25519_signature;
    std::optional<std::string> sha256;
    std::uint64_t content_length = 0;
};

// Loads the plan at `path`:
// 1. the file is opened once, a final link not followed: failure is Io at
//    `path`;
// 2. on that handle it must be a regular file, not a directory, symbolic
//    link, junction, device or FIFO: else Installation "install plan is not a
//    regular file";
// 3. its bytes are read whole from the same handle (Io at `path` on failure)
//    and parsed with parse_install_plan;
// 4. "schema" must be 1 and "nonce" exactly 48 bytes forming one name that
//    Windows keeps as it is (no separator, no character a file name may not
//    hold, no trailing dot or space, not dots only, not a device name such as
//    CON or COM1 with or without an extension), because the nonce names the
//    elevated worker's session directory: else Installation "install plan
//    schema or nonce is invalid".
// With ReadAs::StartingUser (the elevated worker) the file must also be one
// that the user who started the update could read, checked on the handle
// before anything is read: else Installation "the install plan is not
// readable by the user who started the update", so that no error text ever
// echoes the bytes of a file the user could not read.
// Only reads; leaves nothing on disk.
[[nodiscard]] Result<InstallPlan> load_install_plan(const std::filesystem::path& path,
                                                    platform::ReadAs reader = platform::ReadAs::Process);

// Succeeds only when "application_id" is TRUSTED_APPLICATION_ID and
// "public_key" is TRUSTED_RELEASE_PUBLIC_KEY, both compared byte for byte;
// otherwise Installation "the install plan does not target a trusted
// Tessaryndle release".
[[nodiscard]] Result<void> check_trusted_release(const InstallPlan& plan);

// Parses the artifact's "url" as an absolute URL (WHATWG URL Standard, no
// base) and returns the artifact with the parsed URL. Failure: InvalidArtifact
// "install plan artifact URL is invalid: {why}", {why} being one of the URL
// parser's descriptions ("relative URL without a base", "empty host", ...).
[[nodiscard]] Result<VerifiedArtifact> validate_artifact_url(const SerializableArtifact& artifact);

}  // namespace tessaryndle::agent
