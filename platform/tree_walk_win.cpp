#include <windows.h>

#include "platform/directory_listing_win.h"
#include "platform/link_win.h"
#include "platform/tree_walk.h"

namespace tessaryndle::platform {
namespace {

EntryKind kind_of(bool link, bool directory) {
    if (link) return EntryKind::Link;
    return directory ? EntryKind::Directory : EntryKind::File;
}

}  // namespace

OsResult<std::vector<DirectoryEntry>> list_directory(const std::filesystem::path& path) {
    // FindFirstFileExW would list the target of a link named by `path`.
    const auto own = entry_attributes_no_follow(path);
    if (!own) return std::unexpected(own.error());
    if (!own->plain_directory()) return std::unexpected(OsError::from_code(ERROR_DIRECTORY));
    auto found = find_directory_entries(path);
    if (!found) return std::unexpected(found.error());
    std::vector<DirectoryEntry> entries;
    entries.reserve(found->size());
    for (auto& entry : *found) {
        const EntryKind kind = kind_of(entry.link(), entry.directory());
        entries.push_back(DirectoryEntry{std::move(entry.name), kind});
    }
    return entries;
}

OsResult<EntryKind> entry_kind_no_follow(const std::filesystem::path& path) {
    const auto attributes = entry_attributes_no_follow(path);
    if (!attributes) return std::unexpected(attributes.error());
    return kind_of(attributes->link, attributes->directory());
}

}  // namespace tessaryndle::platform
