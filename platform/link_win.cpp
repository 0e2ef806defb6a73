#include "platform/link_win.h"

#include "platform/long_path_win.h"
#include "platform/win_handle.h"

namespace tessaryndle::platform {

bool is_link(DWORD attributes, DWORD reparse_tag) noexcept {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
    return reparse_tag == 0 || IsReparseTagNameSurrogate(reparse_tag);
}

OsResult<EntryAttributes> entry_attributes(HANDLE handle) {
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        return std::unexpected(OsError::last());
    }
    const DWORD attributes = basic.FileAttributes;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        !GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
        tag.ReparseTag = 0;  // unreadable: counted as a link
    }
    return EntryAttributes{attributes, is_link(attributes, tag.ReparseTag)};
}

OsResult<BY_HANDLE_FILE_INFORMATION> plain_disk_file_information(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) return std::unexpected(OsError::last());
    const auto attributes = entry_attributes(handle);
    if (!attributes) return std::unexpected(attributes.error());
    if (attributes->link) return std::unexpected(OsError::from_code(STOPPED_ON_LINK_ERROR));
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || GetFileType(handle) != FILE_TYPE_DISK) {
        return std::unexpected(OsError::from_code(ERROR_ACCESS_DENIED));
    }
    return info;
}

OsResult<EntryAttributes> entry_attributes_no_follow(const std::filesystem::path& path) {
    // Attribute access only: files that others hold open can still be looked at.
    UniqueHandle handle(CreateFileW(long_path(path).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.valid()) return std::unexpected(OsError::last());
    return entry_attributes(handle.get());
}

}  // namespace tessaryndle::platform
