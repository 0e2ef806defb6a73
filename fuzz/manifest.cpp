// The current-version manifest, in the agent's view and the launcher's:
// neither accepts what the strict rules refuse, the two agree on what both
// read, and a manifest the agent writes is read back as the same value by
// both (as text, and through the file that write_current_version replaces).

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/current_version.h"
#include "fuzz/support/property.h"
#include "fuzz/support/reference_json.h"
#include "launcher/launch_manifest.h"
#include "platform/text.h"

namespace {

namespace fs = std::filesystem;
using tessaryndle::fuzz::reference::FieldKind;
using tessaryndle::fuzz::reference::FieldRule;

constexpr FieldRule AGENT_VIEW[] = {
    {"schema", FieldKind::U32},
    {"version", FieldKind::Text},
    {"executable", FieldKind::Text},
    {"previous_executable", FieldKind::OptionalText},
};
constexpr FieldRule LAUNCHER_VIEW[] = {
    {"schema", FieldKind::U32},
    {"executable", FieldKind::Text},
    {"previous_executable", FieldKind::OptionalText},
};

// A manifest path as the reader makes it from the document's text.
std::string path_text(const fs::path& path) {
    auto text = tessaryndle::path_utf8(path);
    FUZZ_CHECK(text.has_value());
    return *text;
}
std::optional<std::string> path_text(const std::optional<fs::path>& path) {
    if (!path) return std::nullopt;
    return path_text(*path);
}
std::optional<std::string> from_document(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return path_text(tessaryndle::manifest_path_from_text(*text));
}

bool same(const tessaryndle::CurrentVersion& a, const tessaryndle::CurrentVersion& b) {
    return a.schema == b.schema && a.version == b.version && a.executable == b.executable &&
           a.previous_executable == b.previous_executable;
}

const fs::path& scratch_directory() {
    static const fs::path directory = tessaryndle::fuzz::make_scratch_directory("manifest");
    return directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessaryndle;
    const auto text = fuzz::as_text(data, size);

    const auto launcher_view = launcher::parse_launch_manifest(text);
    if (launcher_view) {
        const auto expected = fuzz::reference::read_record(text, LAUNCHER_VIEW);
        FUZZ_CHECK(expected.has_value());
        FUZZ_CHECK(std::to_string(launcher_view->schema) == (*expected)[0]);
        FUZZ_CHECK(path_text(launcher_view->executable) == from_document((*expected)[1]));
        FUZZ_CHECK(path_text(launcher_view->previous_executable) == from_document((*expected)[2]));
    }

    const auto manifest = parse_current_version(text);
    if (!manifest) return 0;
    const auto expected = fuzz::reference::read_record(text, AGENT_VIEW);
    FUZZ_CHECK(expected.has_value());
    FUZZ_CHECK(std::to_string(manifest->schema) == (*expected)[0]);
    FUZZ_CHECK(manifest->version == (*expected)[1]);
    FUZZ_CHECK(path_text(manifest->executable) == from_document((*expected)[2]));
    FUZZ_CHECK(path_text(manifest->previous_executable) == from_document((*expected)[3]));
    FUZZ_CHECK(check_executable_path(manifest->executable));
    // An object (not the array form) that the agent reads, the launcher
    // reads too: it only leaves out `version`.
    if (text.find_first_not_of(" \t\r\n") != text.npos && text[text.find_first_not_of(" \t\r\n")] == '{') {
        FUZZ_CHECK(launcher_view.has_value());
    }

    // Written and read back: the same value, in both views.
    const auto serialized = serialize_current_version(*manifest);
    FUZZ_CHECK(serialized.has_value());
    const auto again = parse_current_version(*serialized);
    FUZZ_CHECK(again.has_value() && same(*again, *manifest));
    const auto launcher_again = launcher::parse_launch_manifest(*serialized);
    FUZZ_CHECK(launcher_again.has_value());
    FUZZ_CHECK(launcher_again->schema == manifest->schema && launcher_again->executable == manifest->executable &&
               launcher_again->previous_executable == manifest->previous_executable);

    const fs::path file = scratch_directory() / "current.json";
    const auto written = write_current_version(file, *manifest);
    FUZZ_CHECK(written.has_value());
    const auto read_back = read_current_version(file);
    FUZZ_CHECK(read_back.has_value() && same(*read_back, *manifest));
    const auto launcher_read_back = launcher::read_launch_manifest(file);
    FUZZ_CHECK(launcher_read_back.has_value() && launcher_read_back->executable == manifest->executable);
    return 0;
}
