#include "agent/verification/verify.h"

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "agent/verification/authenticode.h"
#include "agent/verification/ed25519.h"
#include "agent/verification/sha256.h"
#include "common/base64.h"
#include "platform/ascii.h"
#include "platform/files.h"
#include "platform/input_file.h"
#include "platform/mapped_file.h"

namespace tessaryndle::agent {
namespace {

constexpr std::string_view SIGNATURE_ERROR = "signature error";

using platform::equals_ignoring_ascii_case;
using platform::lowercase_hex;

UpdateError signature_error(std::string_view cause) {
    return UpdateError::invalid_signature(std::string(SIGNATURE_ERROR) + ": " + std::string(cause));
}

UpdateError not_the_archive(const VerifiedArtifact& artifact) { return archive_length_error(artifact); }

// The decoded release key and signature.
struct KeyAndSignature {
    std::vector<std::uint8_t> key;
    std::vector<std::uint8_t> signature;
};

// Everything about the key and the signature that needs no file.
Result<KeyAndSignature> decode_key_and_signature(const VerifiedArtifact& artifact, std::string_view public_key_text) {
    auto key = base64_decode(public_key_text);
    if (!key) return fail(UpdateError::invalid_signature("decode public key: " + key.error()));
    if (key->size() != ED25519_PUBLIC_KEY_BYTES) {
        return fail(UpdateError::invalid_signature("public key must contain 32 bytes"));
    }
    auto signature = base64_decode(artifact.ed25519_signature);
    if (!signature) return fail(UpdateError::invalid_signature("decode signature: " + signature.error()));
    if (signature->size() != ED25519_SIGNATURE_BYTES) {
        return fail(UpdateError::invalid_signature(std::string(SIGNATURE_ERROR)));
    }
    const std::span<const std::uint8_t, ED25519_PUBLIC_KEY_BYTES> key_bytes(key->data(), ED25519_PUBLIC_KEY_BYTES);
    if (!ed25519_public_key_decodes(key_bytes)) return fail(signature_error(ED25519_KEY_NOT_A_POINT));
    return KeyAndSignature{std::move(*key), std::move(*signature)};
}

// The size as the open file shows it.
Result<void> check_size(const platform::InputFile& archive, const std::filesystem::path& archive_path,
                        const VerifiedArtifact& artifact) {
    const auto size = archive.size();
    if (!size) return fail(UpdateError::io(archive_path, size.error()));
    if (*size != artifact.content_length) return fail(not_the_archive(artifact));
    return {};
}

// Digest and signature over one mapping of the open file.
Result<void> verify_contents(const platform::InputFile& archive, const std::filesystem::path& archive_path,
                             const VerifiedArtifact& artifact, const KeyAndSignature& decoded) {
    // The mapping is the only copy of the archive in memory; it is released
    // when `mapped` goes out of scope, on every path. It is made from the
    // handle that was checked, so what is verified is the file that was
    // opened, even when its name is swapped for a link meanwhile.
    const auto mapped = platform::MappedFile::map(archive);
    if (!mapped) return fail(UpdateError::io(archive_path, mapped.error()));
    const std::span<const std::uint8_t> bytes = mapped->bytes();
    // The file is shared for writing: what counts is the length mapped.
    if (bytes.size() != artifact.content_length) return fail(not_the_archive(artifact));
    const std::span<const std::uint8_t, ED25519_PUBLIC_KEY_BYTES> key_bytes(decoded.key.data(),
                                                                            ED25519_PUBLIC_KEY_BYTES);
    const std::span<const std::uint8_t, ED25519_SIGNATURE_BYTES> signature_bytes(decoded.signature.data(),
                                                                                 ED25519_SIGNATURE_BYTES);

    // The digest and the signature are computed at the same time over the
    // one mapping, the digest on a second thread; the outcome is judged
    // afterwards in the fixed order, digest first, so it is the one the two
    // steps give one after the other. Without a second thread they simply
    // run one after the other.
    std::optional<Sha256Digest> computed;
    std::expected<void, std::string_view> verified;
    {
        std::optional<std::jthread> digest_thread;
        if (artifact.sha256) {
            try {
                digest_thread.emplace([&computed, bytes] { computed = sha256(bytes); });
            } catch (const std::system_error&) {
                computed = sha256(bytes);
            }
        }
        verified = ed25519_verify_strict(key_bytes, signature_bytes, bytes);
    }  // the digest thread has joined here

    if (artifact.sha256) {
        if (!computed) {
            return fail(UpdateError::io(archive_path, OsError::custom("the SHA-256 digest could not be computed")));
        }
        const std::string digest = lowercase_hex(*computed);
        if (!equals_ignoring_ascii_case(digest, *artifact.sha256)) {
            return fail(UpdateError::invalid_artifact("SHA-256 mismatch: expected " + *artifact.sha256 + ", received " +
                                                      digest));
        }
    }
    if (!verified) return fail(signature_error(verified.error()));
    return {};
}

}  // namespace

UpdateError archive_length_error(const VerifiedArtifact& artifact) {
    return UpdateError::invalid_artifact("archive is not a regular " + std::to_string(artifact.content_length) +
                                         " byte file");
}

Result<void> verify_artifact(const std::filesystem::path& archive_path, const VerifiedArtifact& artifact,
                             std::string_view public_key_text) {
    // The size is judged on the entry itself: a link to a perfect archive is
    // still refused.
    const auto info = platform::file_info_no_follow(archive_path);
    if (!info) return fail(UpdateError::io(archive_path, info.error()));
    if (!info->regular() || info->size != artifact.content_length) return fail(not_the_archive(artifact));

    const auto decoded = decode_key_and_signature(artifact, public_key_text);
    if (!decoded) return fail(decoded.error());

    // One open, without following a link, checked on the handle to be a
    // regular file of the right size; everything after reads this handle.
    // A link swapped in after the look above fails here.
    const auto archive = platform::InputFile::open_no_follow(archive_path);
    if (!archive) return fail(UpdateError::io(archive_path, archive.error()));
    if (auto sized = check_size(*archive, archive_path, artifact); !sized) return sized;
    return verify_contents(*archive, archive_path, artifact, *decoded);
}

Result<void> verify_artifact(const platform::InputFile& archive, const std::filesystem::path& archive_path,
                             const VerifiedArtifact& artifact, std::string_view public_key_text) {
    if (auto sized = check_size(archive, archive_path, artifact); !sized) return sized;
    const auto decoded = decode_key_and_signature(artifact, public_key_text);
    if (!decoded) return fail(decoded.error());
    return verify_contents(archive, archive_path, artifact, *decoded);
}

Result<void> verify_install_plan(const InstallPlan& plan) {
    const auto artifact = validate_artifact_url(plan.artifact);
    if (!artifact) return fail(artifact.error());
    if (auto verified = verify_artifact(plan.archive_path, *artifact, plan.public_key); !verified) return verified;
    if (auto payload = verify_update_payload(plan.install_source); !payload) return payload;
    return verify_installation(plan.install_target);
}

}  // namespace tessaryndle::agent
