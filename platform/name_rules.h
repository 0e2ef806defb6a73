#pragma once
// The two name rules that the platform layer needs itself (the private
// directories take their names apart with them); common/path_rules.h builds
// every other rule on them.

#include <string_view>

namespace tessaryndle::platform {

// Both "/" and "\" separate components in every name we check, whatever the
// platform: a manifest or archive written on one system is read on another.
template <class Char>
[[nodiscard]] constexpr bool is_separator(Char c) {
    return c == Char('/') || c == Char('\\');
}

// One plain name: not empty, not "." or "..", without a separator, a colon or
// a NUL. The weaker rule for names that only have to stay one component.
template <class Char>
[[nodiscard]] constexpr bool is_plain_component(std::basic_string_view<Char> name) {
    if (name.empty()) return false;
    if (name.size() <= 2 && name.find_first_not_of(Char('.')) == name.npos) return false;
    for (const Char c : name) {
        if (is_separator(c) || c == Char(':') || c == Char(0)) return false;
    }
    return true;
}
[[nodiscard]] constexpr bool is_plain_component(std::string_view name) { return is_plain_component<char>(name); }
[[nodiscard]] constexpr bool is_plain_component(std::wstring_view name) { return is_plain_component<wchar_t>(name); }

}  // namespace tessaryndle::platform
