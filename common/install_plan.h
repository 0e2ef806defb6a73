#pragma once
// The install plan: the JSON document through which the application hands
// one prepared update to the agent, and the artifact record inside it that
// the release tool prints for a release archive. One field table per record
// drives both reading (the agent) and writing (the client library, the
// release tool), so the writers cannot drift from what the agent reads.
//
// The plan is the record as read from disk and stays so: the run keeps what
// it derives from it (the extracted folder, the privileged session, the
// activation's inputs) in objects of its own.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/update_error.h"

namespace tessaryndle {

inline constexpr std::uint32_t INSTALL_PLAN_SCHEMA_VERSION = 1;
inline constexpr std::size_t INSTALL_PLAN_NONCE_LENGTH = 48;

// What the agent prints on standard output for the application: one line,
// "READY" once the plan is accepted (the application exits now), or
// "ERROR:{text}" when the update was refused or failed.
inline constexpr std::string_view AGENT_READY_LINE = "READY";
inline constexpr std::string_view AGENT_ERROR_PREFIX = "ERROR:";

struct SerializableArtifact {
    std::string url;
    std::uint64_t content_length = 0;
    std::string ed25519_signature;
    std::optional<std::string> sha256;
};

struct InstallPlan {
    std::uint32_t schema = 0;
    std::string nonce;
    std::string app_name;
    std::string application_id;
    std::string platform;
    std::string version;
    std::string build;
    std::filesystem::path archive_path;
    std::filesystem::path staging_directory;
    std::filesystem::path install_source;
    std::filesystem::path install_target;
    std::filesystem::path relaunch_path;
    std::uint32_t parent_pid = 0;
    std::string public_key;
    SerializableArtifact artifact;
    std::uint64_t fallback_progress_delay_ms = 0;
};

// Reads a plan from the bytes of a plan file: one strict JSON object (or the
// positional array form) with the sixteen fields of InstallPlan, unknown
// members skipped. Failure: Serialization with the reader's description and
// position, e.g. "missing field `url` at line 20 column 3". Checks nothing
// beyond the document's form.
[[nodiscard]] Result<InstallPlan> parse_install_plan(std::string_view bytes);

// The plan file's text: the object form, members in the order above, two
// spaces of indentation; "sha256" left out when the artifact has none.
// Failure: Serialization "path is not valid Unicode: {path}".
[[nodiscard]] Result<std::string> install_plan_text(const InstallPlan& plan);

// The artifact record as the release tool prints it, in the plan's order;
// without "url" when `with_url` is false (the URL is not known yet).
[[nodiscard]] std::string artifact_record_text(const SerializableArtifact& artifact, bool with_url);

}  // namespace tessaryndle
