#pragma once
// Verification of an update before anything from it is installed: the
// archive's length, digest and release signature, then the Authenticode
// trust of the new build and of the existing installation.

#include <filesystem>
#include <string_view>

#include "agent/plan/plan.h"
#include "common/update_error.h"
#include "platform/input_file.h"

namespace tessaryndle::agent {

// Checks the archive at `archive_path` against `artifact` and the Base64
// `public_key_text`, in this order, stopping at the first failure:
//  1-2. its own metadata (a final link is not followed): Io at the archive
//       path when unreadable; InvalidArtifact "archive is not a regular
//       {content_length} byte file" for a directory, a link or another size;
//  3-7. key and signature: InvalidSignature "decode public key: {detail}",
//       "public key must contain 32 bytes", "decode signature: {detail}",
//       "signature error", "signature error: Cannot decompress Edwards point";
//  8-9. one open without following a link, checked on that handle to be a
//       regular file (a link or anything else put in its place after step 1
//       fails here), and a read-only mapping of that same open file: Io at
//       the archive path (an empty file cannot be mapped); a size on the
//       handle or in the mapping other than {content_length} gives the
//       InvalidArtifact of step 2;
//  10.  when `artifact.sha256` is given: InvalidArtifact "SHA-256 mismatch:
//       expected {sha256}, received {digest}" unless it equals the file's
//       digest ignoring letter case;
//  11.  strict Ed25519 over the whole file: InvalidSignature "signature
//       error: {cause}".
// Digest and signature are computed over the mapping itself, at the same
// time on two threads; the failure reported is the first in the order above
// all the same. Nothing on disk changes; no handle or mapping is left open.
[[nodiscard]] Result<void> verify_artifact(const std::filesystem::path& archive_path, const VerifiedArtifact& artifact,
                                           std::string_view public_key_text);

// The refusal of an archive that is not exactly the announced length:
// InvalidArtifact "archive is not a regular {content_length} byte file".
[[nodiscard]] UpdateError archive_length_error(const VerifiedArtifact& artifact);

// verify_artifact on an archive the caller has opened
// (platform::InputFile::open_no_follow, so a regular file, not a link), so
// that it can go on using the very file that was verified; `archive_path`
// only names it in errors. Steps 1-2 are judged on the handle.
[[nodiscard]] Result<void> verify_artifact(const platform::InputFile& archive,
                                           const std::filesystem::path& archive_path, const VerifiedArtifact& artifact,
                                           std::string_view public_key_text);

// The checks install-plan mode runs before deciding how to install, each
// failure returned unchanged: the artifact URL, verify_artifact on the
// plan's archive with its key, verify_update_payload on "install_source",
// verify_installation on "install_target".
[[nodiscard]] Result<void> verify_install_plan(const InstallPlan& plan);

}  // namespace tessaryndle::agent
