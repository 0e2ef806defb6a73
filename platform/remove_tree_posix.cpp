#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/descriptor_posix.h"
#include "platform/directory_listing_posix.h"
#include "platform/remove_tree.h"
#include "platform/remove_tree_posix.h"

namespace tessaryndle::platform {
namespace {

struct Entry {
    std::string name;
    // Listed as a directory: opened with O_NOFOLLOW, so that a link put in
    // its place since is not entered. Everything else is unlinked as an entry.
    bool maybe_directory = false;
    bool retried = false;
};

// One directory being emptied: its descriptor (everything below it is
// addressed relative to it) and the names it held when it was listed.
struct Level {
    Descriptor fd;
    std::string name_in_parent;
    std::vector<Entry> entries;
    std::size_t next = 0;
};

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

int open_directory_at(int parent, const char* name) {
    return retry_on_eintr([&] { return ::openat(parent, name, DIRECTORY_FLAGS); });
}

// The names in the directory; the listing is complete before anything in it
// is deleted, so deletions cannot disturb the directory stream.
OsResult<std::vector<Entry>> list_directory(int fd) {
    auto listed = read_directory_entries(fd);
    if (!listed) return std::unexpected(listed.error());
    std::vector<Entry> entries;
    entries.reserve(listed->size());
    for (auto& item : *listed) {
        entries.push_back(Entry{std::move(item.name), item.kind == EntryKind::Directory});
    }
    return entries;
}

bool not_a_directory_error(int error) { return error == ELOOP || error == ENOTDIR; }

}  // namespace

OsResult<void> remove_tree_at(int directory_fd, const char* tree_name) {
    const int root_fd = retry_on_eintr([&] { return ::openat(directory_fd, tree_name, DIRECTORY_FLAGS); });
    if (root_fd < 0) {
        const int open_error = errno;
        if (!not_a_directory_error(open_error)) return std::unexpected(OsError::from_code(open_error));
        struct stat st {};
        if (::fstatat(directory_fd, tree_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return std::unexpected(OsError::last());
        if (!S_ISLNK(st.st_mode)) return std::unexpected(OsError::from_code(ENOTDIR));
        // The tree is a link: remove the link, never what it names.
        if (::unlinkat(directory_fd, tree_name, 0) != 0) return std::unexpected(OsError::last());
        return {};
    }

    std::vector<Level> stack;
    {
        Descriptor root(root_fd);
        auto entries = list_directory(root.get());
        if (!entries) return std::unexpected(entries.error());
        stack.push_back(Level{std::move(root), std::string(), std::move(*entries), 0});
    }

    while (!stack.empty()) {
        Level& top = stack.back();
        if (top.next == top.entries.size()) {
            // Everything below is gone: remove the directory itself.
            std::string name = std::move(top.name_in_parent);
            stack.pop_back();
            const int rc = stack.empty() ? ::unlinkat(directory_fd, tree_name, AT_REMOVEDIR)
                                         : ::unlinkat(stack.back().fd.get(), name.c_str(), AT_REMOVEDIR);
            if (rc != 0) return std::unexpected(OsError::last());
            continue;
        }

        Entry& entry = top.entries[top.next++];
        if (entry.maybe_directory) {
            const int child = open_directory_at(top.fd.get(), entry.name.c_str());
            if (child >= 0) {
                Descriptor child_fd(child);
                auto entries = list_directory(child_fd.get());
                if (!entries) return std::unexpected(entries.error());
                std::string name = entry.name;
                // `top` and `entry` are invalidated by the push.
                stack.push_back(Level{std::move(child_fd), std::move(name), std::move(*entries), 0});
                continue;
            }
            if (errno == ENOENT) continue;
            // A link (ELOOP) or a file (ENOTDIR) in its place: an entry.
            if (!not_a_directory_error(errno)) return std::unexpected(OsError::last());
        }
        if (::unlinkat(top.fd.get(), entry.name.c_str(), 0) != 0) {
            if (errno == ENOENT) continue;
            if (errno == EISDIR && !entry.retried) {
                // It became a directory after the listing: look again.
                entry.maybe_directory = true;
                entry.retried = true;
                --top.next;
                continue;
            }
            return std::unexpected(OsError::last());
        }
    }
    return {};
}

OsResult<void> remove_tree(const std::filesystem::path& path) { return remove_tree_at(AT_FDCWD, path.c_str()); }

}  // namespace tessaryndle::platform
