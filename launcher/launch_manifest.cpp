#include "launcher/launch_manifest.h"

#include "common/current_version.h"
#include "common/strict_json.h"
#include "platform/files.h"

namespace tessaryndle::launcher {
namespace {

// Only what the launcher needs; `version` and any other member are skipped.
constexpr json::FieldSpec LAUNCH_MANIFEST_FIELDS[] = {
    {"schema", json::FieldType::U32},
    {"executable", json::FieldType::Path},
    {"previous_executable", json::FieldType::OptionalPath},
};
constexpr json::RecordSpec LAUNCH_MANIFEST_SPEC{"LaunchManifest", LAUNCH_MANIFEST_FIELDS};

}  // namespace

Result<LaunchManifest> parse_launch_manifest(std::string_view bytes) {
    auto record = json::read_record(bytes, LAUNCH_MANIFEST_SPEC);
    if (!record) return fail(std::move(record.error()));
    LaunchManifest manifest;
    manifest.schema = static_cast<std::uint32_t>(record->number(0));
    manifest.executable = manifest_path_from_text(record->text(1));
    if (const auto& previous = record->optional_text(2)) {
        manifest.previous_executable = manifest_path_from_text(*previous);
    }
    return manifest;
}

Result<LaunchManifest> read_launch_manifest(const std::filesystem::path& path) {
    auto bytes = platform::read_whole_file(path);
    if (!bytes) return fail(UpdateError::io(path, bytes.error()));
    return parse_launch_manifest(*bytes);
}

}  // namespace tessaryndle::launcher
