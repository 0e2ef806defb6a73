#include "common/path_rules.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "platform/ascii.h"

namespace tessaryndle::path_rules {
namespace {

using Char = std::filesystem::path::value_type;
using NativeView = std::basic_string_view<Char>;

template <class C>
bool is_dots_and_spaces(std::basic_string_view<C> name) {
    return std::all_of(name.begin(), name.end(), [](C c) { return c == C('.') || c == C(' '); });
}

using platform::ascii_upper;
using platform::equals_ignoring_ascii_case;

// Windows opens a device instead of a file when the part of a name before its
// first dot, trailing spaces ignored, is one of these. COM and LPT take the
// digits 1-9 and the superscripts 1, 2 and 3.
bool is_reserved_device_name(std::string_view name) {
    std::string_view base = name.substr(0, std::min(name.find('.'), name.size()));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    for (const std::string_view device : {"CON", "PRN", "AUX", "NUL"}) {
        if (equals_ignoring_ascii_case(base, device)) return true;
    }
    for (const std::string_view device : {"COM", "LPT"}) {
        if (base.size() < 4 || !equals_ignoring_ascii_case(base.substr(0, 3), device)) continue;
        const std::string_view digit = base.substr(3);
        if (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') return true;
        if (digit == "\u00B9" || digit == "\u00B2" || digit == "\u00B3") return true;
    }
    return false;
}

// A drive letter and a colon at the start: "C:", "c:x", "C:\\x".
bool has_drive_prefix(std::string_view name) {
    return name.size() >= 2 && name[1] == ':' && ascii_upper(name[0]) >= 'A' && ascii_upper(name[0]) <= 'Z';
}

template <class C>
bool safe_executable_path(std::basic_string_view<C> text) {
    // Empty, rooted ("\x", "/x") and UNC or device paths ("\\server", "\\?\").
    if (text.empty() || is_separator(text.front())) return false;

    std::basic_string_view<C> last;
    bool first = true;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = start;
        while (end < text.size() && !is_separator(text[end])) ++end;
        const std::basic_string_view<C> component = text.substr(start, end - start);
        start = end + 1;
        if (component.empty()) continue;
        if (std::any_of(component.begin(), component.end(), [](C c) { return is_forbidden_name_character(c); })) {
            return false;
        }
        if (component.size() == 1 && component.front() == C('.')) {
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

    const std::size_t dot = last.rfind(C('.'));
    if (dot == std::basic_string_view<C>::npos || dot == 0) return false;
    const std::basic_string_view<C> extension = last.substr(dot + 1);
    return extension.size() == 3 && extension[0] == C('e') && extension[1] == C('x') && extension[2] == C('e');
}

}  // namespace

bool is_stable_windows_name(std::string_view name) {
    if (name.empty() || is_dots_and_spaces(name)) return false;
    if (name.back() == '.' || name.back() == ' ') return false;
    for (const char c : name) {
        if (is_separator(c) || is_forbidden_name_character(c)) return false;
    }
    return !is_reserved_device_name(name);
}

bool is_valid_build_identifier(std::string_view build) {
    if (build.empty()) return false;
    bool only_dots = true;
    for (const char c : build) {
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                             c == '.' || c == '_';
        if (!allowed) return false;
        if (c != '.') only_dots = false;
    }
    return !only_dots && is_stable_windows_name(build);
}

bool is_safe_executable_path(const std::filesystem::path& path) {
    return safe_executable_path(NativeView(path.native()));
}

std::vector<NativeString> manifest_path_components(const NativeString& text) {
    std::vector<NativeString> components;
    std::size_t start = 0;
    if (!text.empty() && is_separator(text.front())) {
        components.emplace_back(1, text.front());
        start = 1;
    }
    while (start <= text.size()) {
        std::size_t end = start;
        while (end < text.size() && !is_separator(text[end])) ++end;
        const NativeView component = NativeView(text).substr(start, end - start);
        const bool dot = component.size() == 1 && component[0] == Char('.');
        if (!component.empty() && !(dot && !components.empty())) components.emplace_back(component);
        start = end + 1;
    }
    return components;
}

bool same_components(const std::filesystem::path& a, const std::filesystem::path& b) {
    if (a.native() == b.native()) return true;
    if (a.root_name().native() != b.root_name().native() || a.has_root_directory() != b.has_root_directory()) {
        return false;
    }
    auto names = [](const std::filesystem::path& path) {
        std::vector<NativeString> out;
        for (const auto& part : path.relative_path()) {
            if (!part.empty() && part != ".") out.push_back(part.native());
        }
        return out;
    };
    return names(a) == names(b);
}

std::optional<std::filesystem::path> relative_to_prefix(const std::filesystem::path& path,
                                                        const std::filesystem::path& base) {
    auto it = path.begin();
    for (const auto& component : base) {
        if (component.empty()) continue;
        while (it != path.end() && it->empty()) ++it;
        if (it == path.end() || *it != component) return std::nullopt;
        ++it;
    }
    std::filesystem::path rest;
    for (; it != path.end(); ++it) {
        if (!it->empty()) rest /= *it;
    }
    return rest;
}

std::optional<std::filesystem::path> enclosed_entry_path(std::string_view name) {
    if (name.find('\0') != std::string_view::npos) return std::nullopt;
    // A root, and with it every UNC, verbatim and device prefix, which all
    // begin with two separators.
    if (!name.empty() && is_separator(name.front())) return std::nullopt;
    // A drive letter and a colon, with or without a root after it.
    if (has_drive_prefix(name)) return std::nullopt;

    std::vector<std::string_view> kept;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = start;
        while (end < name.size() && !is_separator(name[end])) ++end;
        const std::string_view component = name.substr(start, end - start);
        start = end + 1;
        if (component.empty() || component == ".") continue;
        if (component == "..") {
            if (kept.empty()) return std::nullopt;
            kept.pop_back();
            continue;
        }
        // ". ", "..." or ".. " would be trimmed by Windows into "." or "..",
        // climbing out where the walk above counted a step down.
        if (is_dots_and_spaces(component)) return std::nullopt;
        kept.push_back(component);
    }
    // The result is one string joined by the separator, never built with
    // path's "/=": on Windows a component "C:x" carries a root name of its
    // own and would replace everything before it ("a/C:x" would become the
    // drive-relative C:x). Only a first component can make the result start
    // with a drive, and only after resolving ("a/../C:x"): that is refused
    // like a drive prefix in the name itself.
    if (!kept.empty() && has_drive_prefix(kept.front())) return std::nullopt;
    NativeString joined;
    for (const std::string_view component : kept) {
        if (!joined.empty()) joined += std::filesystem::path::preferred_separator;
        joined += path_from_utf8(component).native();
    }
    return std::filesystem::path(std::move(joined));
}

}  // namespace tessaryndle::path_rules
