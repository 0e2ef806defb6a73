#include <windows.h>

#include <string_view>

#include "platform/long_path_win.h"

namespace tessaryndle::platform {
namespace {

constexpr std::wstring_view EXTENDED_PREFIX = L"\\\\?\\";
constexpr std::wstring_view EXTENDED_UNC_PREFIX = L"\\\\?\\UNC\\";
constexpr std::wstring_view NT_PREFIX = L"\\??\\";
constexpr std::wstring_view DEVICE_PREFIX = L"\\\\.\\";

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

}  // namespace

std::wstring extended_length_path(const std::filesystem::path& path) {
    const std::wstring& text = path.native();
    if (text.empty() || already_final(text)) return text;
    const std::wstring full = full_path(text);
    if (full.empty() || already_final(full)) return full.empty() ? text : full;
    if (full.starts_with(L"\\\\")) {
        std::wstring unc(EXTENDED_UNC_PREFIX);
        unc.append(std::wstring_view(full).substr(2));
        return unc;
    }
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') {
        std::wstring drive(EXTENDED_PREFIX);
        drive.append(full);
        return drive;
    }
    return text;
}

}  // namespace tessaryndle::platform
