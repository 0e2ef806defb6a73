#include <windows.h>

#include <string_view>

#include "platform/long_path_win.h"

namespace tessaryndle::platform {
namespace {

constexpr std::wstring_view EXTENDED_PREFIX = L"\\\\?\\";
constexpr std::wstring_view EXTENDED_UNC_PREFIX = L"\\\\?\\UNC\\";
constexpr std::wstring_view NT_PREFIX = L"\\??\\";
constexpr std::wstring_view DEVICE_PREFIX = L"\\\\.\\";
constexpr std::wstring_view UNC_PREFIX = L"\\\\";

std::wstring with_prefix(std::wstring_view prefix, std::wstring_view rest) {
    std::wstring extended(prefix);
    extended.append(rest);
    return extended;
}

bool already_final(std::wstring_view text) {
    return text.starts_with(EXTENDED_PREFIX) || text.starts_with(NT_PREFIX) || text.starts_with(DEVICE_PREFIX) ||
           text.starts_with(L"//?/") || text.starts_with(L"//./");
}

// The absolute, normalised form; empty when Win32 cannot make one.
std::wstring full_path(const std::wstring& text) {
    DWORD size = MAX_PATH;
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::wstring full(size, L'\0');
        const DWORD length = GetFullPathNameW(text.c_str(), size, full.data(), nullptr);
        if (length == 0) return {};
        if (length < size) {
            full.resize(length);
            return full;
        }
        // Too small: `length` is the size needed, terminator included.
        size = length;
    }
    return {};
}

std::wstring normalised_long_path(const std::filesystem::path& path) {
    const std::wstring& text = path.native();
    if (text.empty() || already_final(text)) return text;
    const std::wstring full = full_path(text);
    if (full.empty() || already_final(full)) return full.empty() ? text : full;
    if (full.starts_with(UNC_PREFIX)) return with_prefix(EXTENDED_UNC_PREFIX, std::wstring_view(full).substr(2));
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return with_prefix(EXTENDED_PREFIX, full);
    return text;
}

std::wstring as_written_long_path(const std::filesystem::path& path) {
    const std::wstring& text = path.native();
    if (text.starts_with(EXTENDED_PREFIX) || text.starts_with(DEVICE_PREFIX)) return text;
    if (!path.is_absolute()) return text;
    const std::wstring normal = path.lexically_normal().native();
    if (normal.starts_with(UNC_PREFIX)) return with_prefix(EXTENDED_UNC_PREFIX, std::wstring_view(normal).substr(2));
    return with_prefix(EXTENDED_PREFIX, normal);
}

}  // namespace

std::wstring long_path(const std::filesystem::path& path, NameForm form) {
    switch (form) {
        case NameForm::Normalised: return normalised_long_path(path);
        case NameForm::AsWritten: return as_written_long_path(path);
    }
    return normalised_long_path(path);
}

}  // namespace tessaryndle::platform
