#include "common/current_version.h"

#include <exception>
#include <string_view>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "common/json_records.h"
#include "common/path_rules.h"
#include "platform/files.h"
#include "platform/os_error.h"
#include "platform/text.h"

namespace tessaryndle {
namespace {

// The agent's view: all four members.
constexpr json::FieldSpec CURRENT_VERSION_FIELDS[] = {
    json::field<&CurrentVersion::schema>("schema"),
    json::field<&CurrentVersion::version>("version"),
    json::field<&CurrentVersion::executable, &manifest_path_from_text>("executable"),
    json::field<&CurrentVersion::previous_executable, &manifest_path_from_text>("previous_executable"),
};
constexpr json::RecordLayout<CurrentVersion> CURRENT_VERSION_LAYOUT{"CurrentVersion", CURRENT_VERSION_FIELDS};

UpdateError invalid_path_text() {
    return UpdateError::serialization(JsonError{"path contains invalid UTF-8 characters", 0, 0});
}

}  // namespace

bool check_executable_path(const std::filesystem::path& path) { return path_rules::is_safe_executable_path(path); }

std::filesystem::path manifest_path_from_text(std::string_view text) {
    std::filesystem::path path = path_from_utf8(text);
    if constexpr (std::filesystem::path::preferred_separator == '/') {
        NativeString native = path.native();
        for (auto& c : native) {
            if (c == '\\') c = '/';
        }
        path = std::filesystem::path(std::move(native));
    }
    return path;
}

Result<std::string> serialize_current_version(const CurrentVersion& manifest) {
    const auto executable = path_utf8(manifest.executable);
    if (!executable) return fail(invalid_path_text());
    std::optional<std::string> previous;
    if (manifest.previous_executable) {
        previous = path_utf8(*manifest.previous_executable);
        if (!previous) return fail(invalid_path_text());
    }
    try {
        nlohmann::ordered_json document = nlohmann::ordered_json::object();
        document["schema"] = manifest.schema;
        document["version"] = manifest.version;
        document["executable"] = *executable;
        if (previous) document["previous_executable"] = *previous;
        // Two-space indentation, no newline after the closing brace; control
        // characters as \b \t \n \f \r or \u00xx, everything else as UTF-8.
        return document.dump(2);
    } catch (const std::exception& error) {
        // Only a version text that is not valid UTF-8 gets here.
        return fail(UpdateError::serialization(JsonError{error.what(), 0, 0}));
    }
}

Result<void> write_current_version(const std::filesystem::path& path, const CurrentVersion& manifest) {
    // Nothing is written for a manifest the launcher would refuse.
    if (!check_executable_path(manifest.executable)) {
        return fail(UpdateError::installation("current-version executable path is unsafe"));
    }

    // The sibling "current.json.new" in the same directory, so that the final
    // rename never crosses file systems.
    std::filesystem::path temporary = path;
    temporary.replace_extension("json.new");

    // Serialised before anything is written: a manifest that cannot be
    // written leaves nothing behind.
    auto text = serialize_current_version(manifest);
    if (!text) return fail(std::move(text.error()));

    // A stale temporary file from an earlier failed write is removed as an
    // entry and the new one created new, so that nothing is ever written
    // through a link planted at that name. A manifest already in place is
    // replaced with write-through: the switch is on disk when this returns,
    // and until this rename the old build stays active. With no manifest yet
    // (or one that cannot be looked up) the ordinary replacing rename does.
    const bool replacing = platform::file_info_follow(path).has_value();
    auto replaced = platform::replace_file_contents(
        path, temporary, *text, platform::ExistingTemporary::Remove,
        replacing ? platform::RenameKind::WriteThrough : platform::RenameKind::Ordinary);
    if (!replaced) {
        const platform::ReplaceFailure& failure = replaced.error();
        if (failure.stage == platform::ReplaceFailure::Stage::Temporary) {
            return fail(UpdateError::io(temporary, failure.error));
        }
        if (!replacing) return fail(UpdateError::io(path, failure.error));
        return fail(UpdateError::installation("activate update: " + platform::windows_error_text(failure.error.code)));
    }
    return {};
}

Result<CurrentVersion> read_current_version(const std::filesystem::path& path) {
    auto bytes = platform::read_whole_file(path);
    if (!bytes) return fail(UpdateError::io(path, bytes.error()));
    return parse_current_version(*bytes);
}

Result<CurrentVersion> parse_current_version(std::string_view bytes) {
    auto manifest = json::read_record(bytes, CURRENT_VERSION_LAYOUT);
    if (!manifest) return manifest;
    // The schema value and the previous executable are left to the caller:
    // activation only records the previous executable for the launcher,
    // which checks it before use.
    if (!check_executable_path(manifest->executable)) {
        return fail(UpdateError::installation("current-version executable path is unsafe"));
    }
    return manifest;
}

}  // namespace tessaryndle
