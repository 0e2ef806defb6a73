#include "launcher/launch_manifest.h"

#include "common/current_version.h"
#include "common/json_records.h"
#include "platform/files.h"

namespace tessaryndle::launcher {
namespace {

// Only what the launcher needs; `version` and any other member are skipped.
constexpr json::FieldSpec LAUNCH_MANIFEST_FIELDS[] = {
    json::field<&LaunchManifest::schema>("schema"),
    json::field<&LaunchManifest::executable, &manifest_path_from_text>("executable"),
    json::field<&LaunchManifest::previous_executable, &manifest_path_from_text>("previous_executable"),
};
constexpr json::RecordLayout<LaunchManifest> LAUNCH_MANIFEST_LAYOUT{"LaunchManifest", LAUNCH_MANIFEST_FIELDS};

}  // namespace

Result<LaunchManifest> parse_launch_manifest(std::string_view bytes) {
    return json::read_record(bytes, LAUNCH_MANIFEST_LAYOUT);
}

Result<LaunchManifest> read_launch_manifest(const std::filesystem::path& path) {
    auto bytes = platform::read_whole_file(path);
    if (!bytes) return fail(UpdateError::io(path, bytes.error()));
    return parse_launch_manifest(*bytes);
}

}  // namespace tessaryndle::launcher
