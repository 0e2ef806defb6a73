#include "agent/verify.h"

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <thread>

#include "agent/authenticode.h"
#include "agent/ed25519.h"
#include "agent/sha256.h"
#include "common/base64.h"
#include "platform/files.h"
#include "platform/mapped_file.h"

namespace tessaryndle::agent {
namespace {

constexpr std::string_view SIGNATURE_ERROR = "signature error";

std::string lowercase_hex(std::span<const std::uint8_t> bytes) {
    constexpr std::string_view digits = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0f]);
    }
    return text;
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

UpdateError signature_error(std::string_view cause) {
    return UpdateError::invalid_signature(std::string(SIGNATURE_ERROR) + ": " + std::string(cause));
}

}  // namespace

Result<void> verify_artifact(const std::filesystem::path& archive_path, const VerifiedArtifact& artifact,
                             std::string_view public_key_text) {
    // 1-2. The size is judged on the entry itself: a link to a perfect
    // archive is still refused.
    const auto info = platform::file_info_no_follow(archive_path);
    if (!info) return fail(UpdateError::io(archive_path, info.error()));
    if (!info->regular() || info->size != artifact.content_length) {
        return fail(UpdateError::invalid_artifact("archive is not a regular " +
                                                  std::to_string(artifact.content_length) + " byte file"));
    }

    // 3-7. Everything about the key and the signature that needs no file.
    const auto key = base64_decode(public_key_text);
    if (!key) return fail(UpdateError::invalid_signature("decode public key: " + key.error()));
    if (key->size() != ED25519_PUBLIC_KEY_BYTES) {
        return fail(UpdateError::invalid_signature("public key must contain 32 bytes"));
    }
    const auto signature = base64_decode(artifact.ed25519_signature);
    if (!signature) return fail(UpdateError::invalid_signature("decode signature: " + signature.error()));
    if (signature->size() != ED25519_SIGNATURE_BYTES) {
        return fail(UpdateError::invalid_signature(std::string(SIGNATURE_ERROR)));
    }
    const std::span<const std::uint8_t, ED25519_PUBLIC_KEY_BYTES> key_bytes(key->data(), ED25519_PUBLIC_KEY_BYTES);
    const std::span<const std::uint8_t, ED25519_SIGNATURE_BYTES> signature_bytes(signature->data(),
                                                                                 ED25519_SIGNATURE_BYTES);
    if (!ed25519_public_key_decodes(key_bytes)) return fail(signature_error(ED25519_KEY_NOT_A_POINT));

    // 8-9. The mapping is the only copy of the archive in memory; it is
    // released when `mapped` goes out of scope, on every path.
    const auto mapped = platform::MappedFile::open(archive_path);
    if (!mapped) return fail(UpdateError::io(archive_path, mapped.error()));
    const std::span<const std::uint8_t> bytes = mapped->bytes();

    // 10-11. The digest and the signature are computed at the same time
    // over the one mapping, the digest on a second thread; the outcome is
    // judged afterwards in the fixed order, digest first, so it is the one
    // the two steps give one after the other. Without a second thread they
    // simply run one after the other.
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
        if (!equal_ignoring_ascii_case(digest, *artifact.sha256)) {
            return fail(UpdateError::invalid_artifact("SHA-256 mismatch: expected " + *artifact.sha256 + ", received " +
                                                      digest));
        }
    }
    if (!verified) return fail(signature_error(verified.error()));
    return {};
}

Result<void> verify_install_plan(const InstallPlan& plan) {
    const auto artifact = validate_artifact_url(plan.artifact);
    if (!artifact) return fail(artifact.error());
    if (auto verified = verify_artifact(plan.archive_path, *artifact, plan.public_key); !verified) return verified;
    if (auto payload = verify_update_payload(plan.install_source); !payload) return payload;
    return verify_installation(plan.install_target);
}

}  // namespace tessaryndle::agent
