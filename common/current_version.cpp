#include "common/current_version.h"

#include <exception>
#include <string_view>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "common/strict_json.h"
#include "common/text.h"
#include "platform/files.h"
#include "platform/os_error.h"

namespace tessaryndle {
namespace {

template <class Char>
bool is_separator(Char c) {
    return c == Char('/') || c == Char('\\');
}

// Characters that never belong to a plain Windows file name. A colon makes a
// drive prefix ("C:x") or an alternate data stream ("app.exe:s"); a NUL
// would cut the name short when it reaches the system, hiding the extension.
template <class Char>
bool is_forbidden_character(Char c) {
    const auto u = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<Char>>(c));
    if (u < 0x20) return true;
    switch (u) {
        case ':':
        case '<':
        case '>':
        case '"':
        case '|':
        case '?':
        case '*':
            return true;
        default:
            return false;
    }
}

// A name made only of dots and spaces: Windows trims trailing dots and spaces
// from a component, so ".. " or "..." would not stay the plain name it looks
// like.
template <class Char>
bool is_dots_and_spaces(std::basic_string_view<Char> name) {
    for (const Char c : name) {
        if (c != Char('.') && c != Char(' ')) return false;
    }
    return true;
}

template <class Char>
bool safe_executable_path(std::basic_string_view<Char> text) {
    // Empty, rooted ("\x", "/x") and UNC or device paths ("\\server", "\\?\").
    if (text.empty() || is_separator(text.front())) return false;

    std::basic_string_view<Char> last;
    bool first = true;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = start;
        while (end < text.size() && !is_separator(text[end])) ++end;
        const std::basic_string_view<Char> component = text.substr(start, end - start);
        start = end + 1;
        if (component.empty()) continue;
        for (const Char c : component) {
            if (is_forbidden_character(c)) return false;
        }
        if (component.size() == 1 && component.front() == Char('.')) {
            // "." first makes the path explicitly relative to the current
            // directory; later ones are dropped like empty components.
            if (first) return false;
            continue;
        }
        if (is_dots_and_spaces(component)) return false;
        first = false;
        last = component;
    }
    if (last.empty()) return false;

    const std::size_t dot = last.rfind(Char('.'));
    if (dot == std::basic_string_view<Char>::npos || dot == 0) return false;
    const std::basic_string_view<Char> extension = last.substr(dot + 1);
    return extension.size() == 3 && extension[0] == Char('e') && extension[1] == Char('x') &&
           extension[2] == Char('e');
}

// The agent's view: all four members.
constexpr json::FieldSpec CURRENT_VERSION_FIELDS[] = {
    {"schema", json::FieldType::U32},
    {"version", json::FieldType::Text},
    {"executable", json::FieldType::Path},
    {"previous_executable", json::FieldType::OptionalPath},
};
constexpr json::RecordSpec CURRENT_VERSION_SPEC{"CurrentVersion", CURRENT_VERSION_FIELDS};

UpdateError invalid_path_text() {
    return UpdateError::serialization(JsonError{"path contains invalid UTF-8 characters", 0, 0});
}

}  // namespace

bool check_executable_path(const std::filesystem::path& path) {
    using Char = std::filesystem::path::value_type;
    return safe_executable_path(std::basic_string_view<Char>(path.native()));
}

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
    // 1. Nothing is written for a manifest the launcher would refuse.
    if (!check_executable_path(manifest.executable)) {
        return fail(UpdateError::installation("current-version executable path is unsafe"));
    }

    // 2. The sibling "current.json.new" in the same directory, so that the
    //    final rename never crosses file systems.
    std::filesystem::path temporary = path;
    temporary.replace_extension("json.new");

    // 3. A stale temporary file from an earlier failed write is truncated.
    auto file = platform::OutputFile::create_truncate(temporary);
    if (!file) return fail(UpdateError::io(temporary, file.error()));

    // 4. Serialising after the file exists leaves it empty behind on failure.
    auto text = serialize_current_version(manifest);
    if (!text) return fail(std::move(text.error()));

    // 5, 6. The content must be on disk before the rename makes it current.
    if (auto written = file->write_all(*text); !written) return fail(UpdateError::io(temporary, written.error()));
    auto flushed = file->flush();
    file->close();
    if (!flushed) return fail(UpdateError::io(temporary, flushed.error()));

    // 7. No manifest yet (or it cannot be looked up): an ordinary replacing
    //    rename.
    if (!platform::file_info_follow(path)) {
        if (auto renamed = platform::rename_replace(temporary, path); !renamed) {
            return fail(UpdateError::io(path, renamed.error()));
        }
        return {};
    }

    // 8. Replace the existing manifest; write-through, so that the switch is
    //    on disk when this returns. Until this rename the old build stays
    //    active.
    if (auto replaced = platform::rename_replace_write_through(temporary, path); !replaced) {
        const std::string reason = platform::windows_error_text(replaced.error().code);
        return fail(UpdateError::installation("activate update: " + reason));
    }
    return {};
}

Result<CurrentVersion> read_current_version(const std::filesystem::path& path) {
    auto bytes = platform::read_whole_file(path);
    if (!bytes) return fail(UpdateError::io(path, bytes.error()));
    auto record = json::read_record(*bytes, CURRENT_VERSION_SPEC);
    if (!record) return fail(std::move(record.error()));

    CurrentVersion manifest;
    manifest.schema = static_cast<std::uint32_t>(record->number(0));
    manifest.version = record->text(1);
    manifest.executable = manifest_path_from_text(record->text(2));
    if (const auto& previous = record->optional_text(3)) {
        manifest.previous_executable = manifest_path_from_text(*previous);
    }
    // The schema value and the previous executable are left to the caller:
    // activation only records the previous executable for the launcher,
    // which checks it before use.
    if (!check_executable_path(manifest.executable)) {
        return fail(UpdateError::installation("current-version executable path is unsafe"));
    }
    return manifest;
}

}  // namespace tessaryndle
