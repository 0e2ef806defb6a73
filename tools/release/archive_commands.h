#pragma once
// The release tool's commands on keys and archives: generate-key, sign,
// verify and check-payload, and the checked, signed artifact record that
// publish uses too. Each writes its output to `output.out` and returns the
// one-line failure text.

#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "agent/plan/plan.h"
#include "tools/release/arguments.h"
#include "tools/release/commands.h"
#include "tools/release/release_key.h"

namespace tessaryndle::release {

// The release key in a PEM key file.
[[nodiscard]] std::expected<ReleaseKey, Failure> read_key_file(const std::filesystem::path& file);

// The archive checked as the elevated worker will check it, and its artifact
// record signed with `key`.
[[nodiscard]] std::expected<agent::VerifiedArtifact, Failure> signed_artifact(const std::filesystem::path& archive,
                                                                              const ReleaseKey& key,
                                                                              const std::optional<std::string>& url);

// generate-key --out FILE
[[nodiscard]] std::expected<void, Failure> generate_key(const Arguments& arguments, ToolOutput& output);
// sign ARCHIVE --key FILE [--url URL]
[[nodiscard]] std::expected<void, Failure> sign(const Arguments& arguments, ToolOutput& output);
// verify ARCHIVE --public-key TEXT --signature TEXT [--sha256 HEX] [--length N]
[[nodiscard]] std::expected<void, Failure> verify(const Arguments& arguments, ToolOutput& output);
// check-payload DIR
[[nodiscard]] std::expected<void, Failure> check_payload(const Arguments& arguments, ToolOutput& output);

}  // namespace tessaryndle::release
