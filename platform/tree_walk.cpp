#include "platform/tree_walk.h"

#include <utility>

namespace tessaryndle::platform {

std::string WalkError::description() const {
    return "IO error for operation on " + path_display(path) + ": " + error.display();
}

TreeWalk::TreeWalk(std::filesystem::path root, std::size_t max_depth) : root_(std::move(root)), max_depth_(max_depth) {}

std::optional<std::expected<WalkEntry, WalkError>> TreeWalk::next() {
    if (!started_) {
        started_ = true;
        auto kind = entry_kind_no_follow(root_);
        if (!kind) return std::unexpected(WalkError{root_, kind.error()});
        WalkEntry entry{root_, *kind, 0};
        if (*kind == EntryKind::Directory && max_depth_ > 0) pending_directory_ = entry;
        return entry;
    }
    if (pending_directory_) {
        // The directory reported last is listed now, after the caller has
        // dealt with it (created its copy, for instance).
        WalkEntry directory = std::move(*pending_directory_);
        pending_directory_.reset();
        auto entries = list_directory(directory.path);
        if (!entries) return std::unexpected(WalkError{directory.path, entries.error()});
        stack_.push_back(Level{std::move(directory.path), directory.depth, std::move(*entries), 0});
    }
    while (!stack_.empty()) {
        Level& top = stack_.back();
        if (top.next == top.entries.size()) {
            stack_.pop_back();
            continue;
        }
        const DirectoryEntry& item = top.entries[top.next++];
        WalkEntry entry{top.path / item.name, item.kind, top.depth + 1};
        if (entry.kind == EntryKind::Directory && entry.depth < max_depth_) pending_directory_ = entry;
        return entry;
    }
    return std::nullopt;
}

}  // namespace tessaryndle::platform
