#pragma once
// Text helpers shared by both programs: lossy display of platform paths and
// strings, and conversions between the platform's native strings and UTF-8.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tessaryndle {

// The platform's native string: UTF-16 on Windows, bytes elsewhere.
using NativeString = std::filesystem::path::string_type;

// UTF-8 bytes with every invalid sequence replaced by U+FFFD.
[[nodiscard]] std::string utf8_lossy(std::string_view bytes);
// UTF-16 to UTF-8 with every unpaired surrogate replaced by U+FFFD.
[[nodiscard]] std::string utf16_lossy(std::u16string_view units);
[[nodiscard]] std::string utf16_lossy(std::wstring_view units);

// Strict conversions: nullopt when the input is not valid Unicode.
[[nodiscard]] std::optional<std::string> utf16_to_utf8(std::wstring_view units);
[[nodiscard]] std::optional<std::wstring> utf8_to_utf16(std::string_view bytes);
[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

// A native string as text, unrepresentable characters shown as U+FFFD.
[[nodiscard]] std::string native_lossy(const NativeString& native);
// A path as displayed in messages (U+FFFD for what cannot be represented).
[[nodiscard]] std::string path_display(const std::filesystem::path& path);
// The path as UTF-8 text, or nullopt when it is not valid Unicode.
[[nodiscard]] std::optional<std::string> path_utf8(const std::filesystem::path& path);
// A path from UTF-8 text (the text is taken as the platform's native form).
[[nodiscard]] std::filesystem::path path_from_utf8(std::string_view text);

}  // namespace tessaryndle
