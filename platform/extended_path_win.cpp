#include "platform/extended_path_win.h"

namespace tessaryndle::platform {

std::wstring extended_path(const std::filesystem::path& path) {
    const std::wstring& text = path.native();
    if (text.starts_with(L"\\\\?\\") || text.starts_with(L"\\\\.\\")) return text;
    if (!path.is_absolute()) return text;
    const std::wstring normal = path.lexically_normal().native();
    if (normal.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + normal.substr(2);
    return L"\\\\?\\" + normal;
}

}  // namespace tessaryndle::platform
