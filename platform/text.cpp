#include "platform/text.h"

#include "platform/held_directory.h"

#include <type_traits>
#include <utility>

namespace tessaryndle {
namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

void append_code_point(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes one UTF-8 sequence at `i`; returns its length, or 0 when the bytes
// there do not start a valid sequence (then `length_invalid` is how many bytes
// form the maximal invalid prefix, as WHATWG's decoder counts them).
std::size_t decode_utf8(std::string_view s, std::size_t i, char32_t& cp, std::size_t& length_invalid) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    length_invalid = 1;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t need = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) {
            length_invalid = k;
            return 0;
        }
        const auto b = static_cast<unsigned char>(s[i + k]);
        if (b < lo || b > hi) {
            length_invalid = k;
            return 0;
        }
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (b & 0x3F);
    }
    return need + 1;
}

template <class Char>
std::string utf16_lossy_impl(std::basic_string_view<Char> units) {
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const auto u = static_cast<char32_t>(static_cast<std::make_unsigned_t<Char>>(units[i]));
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size()) {
            const auto v = static_cast<char32_t>(static_cast<std::make_unsigned_t<Char>>(units[i + 1]));
            if (v >= 0xDC00 && v <= 0xDFFF) {
                append_code_point(out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) {
            out.append(REPLACEMENT);
        } else if (u > 0xFFFF) {
            // wchar_t is 32 bits outside Windows: a code point per unit.
            if (u > 0x10FFFF) {
                out.append(REPLACEMENT);
            } else {
                append_code_point(out, u);
            }
        } else {
            append_code_point(out, u);
        }
    }
    return out;
}

}  // namespace

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        char32_t cp = 0;
        std::size_t invalid = 0;
        const std::size_t n = decode_utf8(bytes, i, cp, invalid);
        if (n == 0) {
            out.append(REPLACEMENT);
            i += invalid;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}

bool is_valid_utf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        char32_t cp = 0;
        std::size_t invalid = 0;
        const std::size_t n = decode_utf8(bytes, i, cp, invalid);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string utf16_lossy(std::u16string_view units) { return utf16_lossy_impl(units); }
std::string utf16_lossy(std::wstring_view units) { return utf16_lossy_impl(units); }

std::optional<std::string> utf16_to_utf8(std::wstring_view units) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        const auto u = static_cast<std::uint32_t>(units[i]);
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= units.size()) return std::nullopt;
            const auto v = static_cast<std::uint32_t>(units[i + 1]);
            if (v < 0xDC00 || v > 0xDFFF) return std::nullopt;
            ++i;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return std::nullopt;
        } else if (u > 0x10FFFF) {
            return std::nullopt;
        }
    }
    return utf16_lossy(units);
}

std::optional<std::wstring> utf8_to_utf16(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        char32_t cp = 0;
        std::size_t invalid = 0;
        const std::size_t n = decode_utf8(bytes, i, cp, invalid);
        if (n == 0) return std::nullopt;
        i += n;
        if constexpr (sizeof(wchar_t) == 2) {
            if (cp >= 0x10000) {
                cp -= 0x10000;
                out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
                out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
                continue;
            }
        }
        out.push_back(static_cast<wchar_t>(cp));
    }
    return out;
}

namespace {
// Overloads chosen by the platform's native string type.
[[maybe_unused]] std::string lossy_of(const std::string& s) { return utf8_lossy(s); }
[[maybe_unused]] std::string lossy_of(const std::wstring& s) { return utf16_lossy(std::wstring_view(s)); }
[[maybe_unused]] std::optional<std::string> strict_of(const std::string& s) {
    if (!is_valid_utf8(s)) return std::nullopt;
    return s;
}
[[maybe_unused]] std::optional<std::string> strict_of(const std::wstring& s) { return utf16_to_utf8(s); }
[[maybe_unused]] void from_utf8(std::string_view text, std::string& out) { out = std::string(text); }
[[maybe_unused]] void from_utf8(std::string_view text, std::wstring& out) {
    out = utf8_to_utf16(text).value_or(utf8_to_utf16(utf8_lossy(text)).value_or(std::wstring{}));
}
}  // namespace

std::string native_lossy(const NativeString& native) { return lossy_of(native); }

// A path through a held directory is shown by the name the user knows.
std::string path_display(const std::filesystem::path& path) { return lossy_of(platform::shown_path(path).native()); }

std::optional<std::string> path_utf8(const std::filesystem::path& path) { return strict_of(path.native()); }

std::filesystem::path path_from_utf8(std::string_view text) {
    NativeString native;
    from_utf8(text, native);
    return std::filesystem::path(std::move(native));
}

}  // namespace tessaryndle
