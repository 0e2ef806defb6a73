#pragma once
// The launcher's view of the current-version manifest: the three members it
// needs, read strictly.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "common/update_error.h"

namespace tessaryndle::launcher {

struct LaunchManifest {
    std::uint32_t schema = 0;
    // Relative to the launcher's directory; not yet checked.
    std::filesystem::path executable;
    // Absent and null both mean that there is no rollback target.
    std::optional<std::filesystem::path> previous_executable;
};

// Parses manifest bytes: one JSON object (white space around it allowed,
// nothing else; no byte-order mark) with `schema` (a number that fits an
// unsigned 32-bit integer), `executable` (string) and optionally
// `previous_executable` (string or null). Other members are ignored. A
// missing required member, a wrong type or a repeated member fails with
// Serialization. The values themselves are not checked here.
[[nodiscard]] Result<LaunchManifest> parse_launch_manifest(std::string_view bytes);

// Reads the whole file (no size limit) and parses it. Failure to read: Io at
// `path`; failure to parse: Serialization.
[[nodiscard]] Result<LaunchManifest> read_launch_manifest(const std::filesystem::path& path);

}  // namespace tessaryndle::launcher
