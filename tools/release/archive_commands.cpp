#include "tools/release/archive_commands.h"

#include <array>
#include <cstdio>
#include <string_view>

#include "agent/verification/authenticode.h"
#include "agent/verification/sha256.h"
#include "agent/verification/verify.h"
#include "common/constants.h"
#include "common/install_plan.h"
#include "platform/ascii.h"
#include "platform/files.h"
#include "platform/text.h"
#include "tools/release/archive_check.h"
#include "tools/release/key_memory.h"
#include "tools/release/secret_file.h"

namespace tessaryndle::release {

namespace fs = std::filesystem;
using platform::lowercase_hex;

std::expected<ReleaseKey, Failure> read_key_file(const fs::path& file) {
    auto text = read_secret_file(file);
    if (!text) return std::unexpected(UpdateError::io(file, text.error()).display());
    const WipedOnExit wipe_text(*text);
    auto key = ReleaseKey::from_pem(*text);
    if (!key) return std::unexpected(path_display(file) + ": " + key.error());
    return key;
}

// generate-key --out FILE
std::expected<void, Failure> generate_key(const Arguments& arguments, ToolOutput& output) {
    const auto out = required_path(arguments, "--out");
    if (!out) return std::unexpected(out.error());
    // A release key is never replaced by accident: the archives it signed
    // are only trusted while its public half is built into the agent.
    if (platform::file_info_no_follow(*out)) {
        return std::unexpected(path_display(*out) + " already exists; a key file is never overwritten");
    }
    const auto key = ReleaseKey::generate();
    if (!key) return std::unexpected(key.error());
    std::string pem = key->private_key_pem();
    const WipedOnExit wipe_pem(pem);
    const auto written = write_secret_file(*out, pem);
    if (!written) return std::unexpected(UpdateError::io(*out, written.error()).display());
    output.out += key->public_key_text() + "\n";
    return {};
}

// The archive checked as the elevated worker will check it, and its artifact
// record signed with `key`.
std::expected<agent::VerifiedArtifact, Failure> signed_artifact(const fs::path& archive, const ReleaseKey& key,
                                                                const std::optional<std::string>& url) {
    // 1. What the agent checks of the record before it looks at the archive.
    if (url) {
        const auto parsed = agent::validate_artifact_url({*url, 0, {}, {}});
        if (!parsed) return std::unexpected(parsed.error().display());
    }

    // 2. The archive is read once, into a copy of the tool's own; the check,
    //    the digest and the signature all work on that copy. Were the file
    //    opened again for signing, whoever can write it could swap in an
    //    archive that was never checked.
    const auto copy = ArchiveCopy::take(archive);
    if (!copy) return std::unexpected(copy.error());

    // 3. What the elevated worker will do with the archive.
    if (auto checked = copy->check(); !checked) return std::unexpected(checked.error());

    // 4. Digest and signature over the bytes that were checked.
    const std::span<const std::uint8_t> bytes = copy->bytes();
    const auto digest = agent::sha256(bytes);
    if (!digest) return std::unexpected("the SHA-256 digest of " + path_display(archive) + " could not be computed");
    agent::VerifiedArtifact artifact;
    artifact.url = url.value_or(std::string());
    artifact.content_length = bytes.size();
    artifact.ed25519_signature = key.sign(bytes);
    artifact.sha256 = lowercase_hex(*digest);

    // 5. The record must pass the agent's verification of the file as it
    //    stands on disk now; one that changed since it was read is not
    //    published.
    if (auto verified = agent::verify_artifact(archive, artifact, key.public_key_text()); !verified) {
        return std::unexpected(verified.error().display());
    }
    return artifact;
}

// sign ARCHIVE --key FILE [--url URL]
std::expected<void, Failure> sign(const Arguments& arguments, ToolOutput& output) {
    const fs::path archive(arguments.operands[0]);
    const auto key_file = required_path(arguments, "--key");
    if (!key_file) return std::unexpected(key_file.error());
    const auto url = optional_text(arguments, "--url");
    if (url) {
        const auto parsed = agent::validate_artifact_url({*url, 0, {}, {}});
        if (!parsed) return std::unexpected(parsed.error().display());
    }
    const auto key = read_key_file(*key_file);
    if (!key) return std::unexpected(key.error());
    const auto artifact = signed_artifact(archive, *key, url);
    if (!artifact) return std::unexpected(artifact.error());

    const SerializableArtifact record{artifact->url, artifact->content_length, artifact->ed25519_signature,
                                      artifact->sha256};
    output.out += artifact_record_text(record, url.has_value());
    return {};
}

// verify ARCHIVE --public-key TEXT --signature TEXT [--sha256 HEX] [--length N]
std::expected<void, Failure> verify(const Arguments& arguments, ToolOutput& output) {
    const fs::path archive(arguments.operands[0]);
    const auto public_key = required_option(arguments, "--public-key");
    if (!public_key) return std::unexpected(public_key.error());
    const auto signature = required_option(arguments, "--signature");
    if (!signature) return std::unexpected(signature.error());
    agent::VerifiedArtifact artifact;
    artifact.ed25519_signature = *signature;
    if (const auto sha256 = arguments.option("--sha256")) artifact.sha256 = native_lossy(*sha256);
    if (const auto length = arguments.option("--length")) {
        const auto parsed = parse_u64(native_lossy(*length));
        if (!parsed) return std::unexpected("--length takes a number of bytes, not " + native_lossy(*length));
        artifact.content_length = *parsed;
    } else if (const auto info = platform::file_info_no_follow(archive)) {
        artifact.content_length = info->size;
    }
    if (auto verified = agent::verify_artifact(archive, artifact, *public_key); !verified) {
        return std::unexpected(verified.error().display());
    }
    output.out += "verified\n";
    return {};
}

// check-payload DIR
std::expected<void, Failure> check_payload(const Arguments& arguments, ToolOutput& output) {
    const fs::path directory(arguments.operands[0]);
    for (const std::string_view name : {APPLICATION_EXECUTABLE, LAUNCHER_EXECUTABLE, UPDATER_AGENT_EXECUTABLE}) {
        const fs::path file = directory / path_from_utf8(name);
        const auto info = platform::file_info_follow(file);
        std::string verdict;
        if (!info || !info->regular()) {
            verdict = "missing";
        } else if (const std::uint32_t status = agent::authenticode_status(file); status == 0) {
            verdict = "trusted";
        } else {
            std::array<char, 9> hex{};
            std::snprintf(hex.data(), hex.size(), "%08x", static_cast<unsigned>(status));
            verdict = "not trusted (0x" + std::string(hex.data()) + ")";
        }
        output.out += std::string(name) + ": " + verdict + "\n";
    }
    // The verdict of record is the agent's, with its text.
    if (auto verified = agent::verify_update_payload(directory); !verified) {
        return std::unexpected(verified.error().display());
    }
    return {};
}

}  // namespace tessaryndle::release
