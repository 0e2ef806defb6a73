#pragma once
// The install plan: the JSON document through which the application hands
// one prepared update to the agent, and the rules that decide whether the
// agent may act on it.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/update_error.h"

namespace tessaryndle::agent {

inline constexpr std::uint32_t INSTALL_PLAN_SCHEMA_VERSION = 1;
inline constexpr std::size_t INSTALL_PLAN_NONCE_LENGTH = 48;
// The release key, Base64 of 32 bytes. Test builds embed a test key.
inline constexpr std::string_view TRUSTED_RELEASE_PUBLIC_KEY = TESSARYNDLE_RELEASE_PUBLIC_KEY;

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

// The artifact record after its URL was parsed as an absolute URL.
struct VerifiedArtifact {
    std::string url;  // the parsed URL, serialised
    std::string ed25519_signature;
    std::optional<std::string> sha256;
    std::uint64_t content_length = 0;
};

}  // namespace tessaryndle::agent
