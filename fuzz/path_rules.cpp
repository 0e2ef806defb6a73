// The shared path rules: enclosed_entry_path against a plain restatement of
// its rule, and the predicates against each other. Whatever a stricter rule
// accepts, the weaker ones accept too, and every accepted name stays below
// the directory it is joined to.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/path_rules.h"
#include "fuzz/support/property.h"
#include "platform/text.h"

namespace {

namespace fs = std::filesystem;

bool separator(char c) { return c == '/' || c == '\\'; }

std::vector<std::string> split(std::string_view name) {
    std::vector<std::string> parts;
    std::string part;
    for (const char c : name) {
        if (separator(c)) {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(part);
    return parts;
}

// The entry rule restated: no NUL, no root or drive prefix, no ".." at the
// top, no component made of dots and spaces that Windows would trim; the
// kept components after resolving "." and "..".
std::optional<std::vector<std::string>> reference_entry(std::string_view name) {
    if (name.find('\0') != name.npos) return std::nullopt;
    if (!name.empty() && separator(name[0])) return std::nullopt;
    if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])) &&
        static_cast<unsigned char>(name[0]) < 0x80) {
        return std::nullopt;
    }
    std::vector<std::string> kept;
    for (const std::string& part : split(name)) {
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (kept.empty()) return std::nullopt;
            kept.pop_back();
            continue;
        }
        if (part.find_first_not_of(". ") == std::string::npos) return std::nullopt;
        kept.push_back(part);
    }
    // Resolved to a drive at the front, which would re-root the path.
    if (!kept.empty() && kept[0].size() >= 2 && kept[0][1] == ':' &&
        std::isalpha(static_cast<unsigned char>(kept[0][0])) && static_cast<unsigned char>(kept[0][0]) < 0x80) {
        return std::nullopt;
    }
    return kept;
}

std::vector<std::string> components(const fs::path& path) {
    std::vector<std::string> out;
    for (const fs::path& part : path) out.push_back(tessaryndle::native_lossy(part.native()));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessaryndle;
    using namespace tessaryndle::path_rules;
    const auto name = fuzz::as_text(data, size);
    if (!is_valid_utf8(name)) return 0;  // names reach the rules as UTF-8 text

    const auto enclosed = enclosed_entry_path(name);
    const auto expected = reference_entry(name);
    FUZZ_CHECK(enclosed.has_value() == expected.has_value());
    if (enclosed) {
        // Relative, plain components only, the resolved ones, and inside any
        // directory it is joined to.
        FUZZ_CHECK(enclosed->is_relative() && !enclosed->has_root_name() && !enclosed->has_root_directory());
        FUZZ_CHECK(components(*enclosed) == *expected);
        for (const std::string& part : *expected) {
            FUZZ_CHECK(!part.empty() && part != "." && part != ".." && part.find('\0') == part.npos);
            FUZZ_CHECK(std::none_of(part.begin(), part.end(), separator));
        }
        const fs::path base = "/base/destination";
        const auto inside = relative_to_prefix(base / *enclosed, base);
        FUZZ_CHECK(inside.has_value() && same_components(*inside, *enclosed));
        FUZZ_CHECK(same_components(base / *enclosed, base) == expected->empty());
    }

    // One stable Windows name is one plain component and one entry.
    if (is_stable_windows_name(name)) {
        FUZZ_CHECK(is_plain_component(name));
        FUZZ_CHECK(enclosed && enclosed->native() == path_from_utf8(name).native());
    }
    // A build identifier names one directory.
    if (is_valid_build_identifier(name)) {
        FUZZ_CHECK(is_plain_component(name));
        FUZZ_CHECK(enclosed && enclosed->native() == path_from_utf8(name).native());
    }
    // A safe executable path is a relative path of plain names that stays
    // inside the installation, ending in an ".exe" file.
    const fs::path executable = path_from_utf8(name);
    if (is_safe_executable_path(executable)) {
        FUZZ_CHECK(enclosed.has_value() && !expected->empty());
        FUZZ_CHECK(expected->back().ends_with(".exe"));
        const auto parts = manifest_path_components(executable.native());
        FUZZ_CHECK(!parts.empty());
        for (const NativeString& part : parts) {
            FUZZ_CHECK(is_plain_component<NativeString::value_type>(part));
            FUZZ_CHECK(part.find_first_not_of(". ") != NativeString::npos);
        }
    }
    FUZZ_CHECK(same_components(executable, executable));
    const auto self = relative_to_prefix(executable, executable);
    FUZZ_CHECK(self.has_value() && self->empty());
    return 0;
}
