#pragma once
// The current-version manifest "current.json": which build of the
// application is active and which one was active before. Written only by the
// agent, read by the agent and the launcher.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/update_error.h"

namespace tessaryndle {

inline constexpr std::uint32_t CURRENT_VERSION_SCHEMA = 1;

struct CurrentVersion {
    std::uint32_t schema = CURRENT_VERSION_SCHEMA;
    std::string version;
    // Relative to the installation directory, e.g. versions\2.4.0\tessaryndle-app.exe.
    std::filesystem::path executable;
    std::optional<std::filesystem::path> previous_executable;
};

// Whether a manifest path is safe: relative, plain name components only
// (both "\" and "/" separate), no "." first and no ".." anywhere, and a last
// component whose extension is exactly "exe". Also unsafe: a component that
// holds a character no Windows file name may hold (":" of a drive or a
// stream, control characters, NUL, <>"|?*) and a component made only of dots
// and spaces other than ".", which Windows would trim into something else.
[[nodiscard]] bool check_executable_path(const std::filesystem::path& path);

// The manifest's exact text: two-space pretty-printed JSON with the members
// in declaration order, `previous_executable` left out when absent, no
// newline at the end, paths in the platform's native form. Fails with
// Serialization "path contains invalid UTF-8 characters" when a path is not
// valid Unicode.
[[nodiscard]] Result<std::string> serialize_current_version(const CurrentVersion& manifest);

// A path string read from a manifest as a platform path. Both "\" and "/"
// separate components in a manifest; where the platform separator is "/",
// backslashes become "/" so that a manifest written on Windows names the same
// files. Elsewhere the text is kept as it is.
[[nodiscard]] std::filesystem::path manifest_path_from_text(std::string_view text);

// Replaces the manifest at `path` atomically: the text goes to the sibling
// "current.json.new", is flushed, then renamed over `path`. Readers see the
// old complete manifest or the new one, never a partial file. On failure the
// old manifest is unchanged; the temporary file may remain. Failures:
// Installation "current-version executable path is unsafe" (nothing
// written); Io at the temporary path (create, write, flush); Serialization
// (see serialize_current_version); Io at `path` when no manifest existed
// and the rename failed; Installation "activate update: " + Windows error
// text when replacing an existing manifest failed.
[[nodiscard]] Result<void> write_current_version(const std::filesystem::path& path, const CurrentVersion& manifest);

// Reads a manifest with the agent's rules: the schema value and the previous
// executable are not checked; an unsafe executable is refused with
// Installation "current-version executable path is unsafe". Io at `path`
// when unreadable; Serialization when not one strict JSON object with
// `schema` (u32), `version`, `executable` and optionally
// `previous_executable` (string or null).
[[nodiscard]] Result<CurrentVersion> read_current_version(const std::filesystem::path& path);

// The same rules applied to manifest bytes already read.
[[nodiscard]] Result<CurrentVersion> parse_current_version(std::string_view bytes);

}  // namespace tessaryndle
