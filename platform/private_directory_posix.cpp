#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <sys/stat.h>

#include <utility>

#include "platform/descriptor_posix.h"
#include "platform/private_directory.h"
#include "platform/remove_tree_posix.h"

namespace tessaryndle::platform {
namespace {

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

std::unexpected<PrivateDirectoryError> os_failure(OsError error) {
    return std::unexpected(PrivateDirectoryError{false, std::move(error)});
}
std::unexpected<PrivateDirectoryError> unsafe() { return std::unexpected(PrivateDirectoryError{true, OsError{}}); }

// Natively the trusted owner is the process's effective user: root for the
// elevated side; when not running as root there is no administrator to hand
// the directory to, and the user's own directory is as private as it gets.
PrivateDirectoryResult<void> check_owner(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return os_failure(OsError::last());
    if (st.st_uid != ::geteuid()) return unsafe();
    return {};
}

// `name` inside `parent`, never through a link at `name`: ELOOP there means
// a link, ENOTDIR something that is not a directory.
PrivateDirectoryResult<Descriptor> open_component(int parent, const std::filesystem::path& name) {
    const int fd = retry_on_eintr([&] { return ::openat(parent, name.c_str(), DIRECTORY_FLAGS | O_NOFOLLOW); });
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR) return unsafe();
        return os_failure(OsError::last());
    }
    Descriptor directory(fd);
    if (auto owner = check_owner(directory.get()); !owner) return std::unexpected(owner.error());
    return directory;
}

PrivateDirectoryResult<void> make_private(int fd) {
    if (::geteuid() == 0 && ::fchown(fd, 0, 0) != 0) return os_failure(OsError::last());
    if (::fchmod(fd, S_IRWXU) != 0) return os_failure(OsError::last());
    return {};
}

// Whatever has the name: a directory with everything in it, anything else as
// an entry.
PrivateDirectoryResult<void> remove_any(int parent, const std::filesystem::path& name) {
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return {};
        return os_failure(OsError::last());
    }
    if (S_ISDIR(st.st_mode)) {
        if (auto removed = remove_tree_at(parent, name.c_str()); !removed) return os_failure(removed.error());
        return {};
    }
    if (::unlinkat(parent, name.c_str(), 0) != 0 && errno != ENOENT) return os_failure(OsError::last());
    return {};
}

bool plain_component(const std::filesystem::path& name) {
    const auto& text = name.native();
    return !text.empty() && text != "." && text != ".." && text.find('/') == text.npos;
}

PrivateDirectoryResult<Descriptor> open_base(const std::filesystem::path& base) {
    const int fd = retry_on_eintr([&] { return ::open(base.c_str(), DIRECTORY_FLAGS); });
    if (fd < 0) return os_failure(OsError::last());
    Descriptor directory(fd);
    if (auto owner = check_owner(directory.get()); !owner) return std::unexpected(owner.error());
    return directory;
}

}  // namespace

PrivateDirectoryResult<void> create_private_directory(const std::filesystem::path& base,
                                                      const std::vector<std::filesystem::path>& names) {
    auto current = open_base(base);
    if (!current) return std::unexpected(current.error());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::filesystem::path& name = names[i];
        if (!plain_component(name)) return unsafe();
        const bool last = i + 1 == names.size();
        if (last) {
            if (auto removed = remove_any(current->get(), name); !removed) return std::unexpected(removed.error());
        }
        if (::mkdirat(current->get(), name.c_str(), S_IRWXU) != 0 && (last || errno != EEXIST)) {
            return os_failure(OsError::last());
        }
        auto next = open_component(current->get(), name);
        if (!next) return std::unexpected(next.error());
        if (auto made = make_private(next->get()); !made) return std::unexpected(made.error());
        current = std::move(next);
    }
    return {};
}

PrivateDirectoryResult<void> remove_private_directory(const std::filesystem::path& base,
                                                      const std::vector<std::filesystem::path>& names) {
    if (names.empty()) return unsafe();
    auto current = open_base(base);
    if (!current) return std::unexpected(current.error());
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
        if (!plain_component(names[i])) return unsafe();
        auto next = open_component(current->get(), names[i]);
        if (!next) return std::unexpected(next.error());
        current = std::move(next);
    }
    if (!plain_component(names.back())) return unsafe();
    if (auto removed = remove_tree_at(current->get(), names.back().c_str()); !removed) {
        if (removed.error().code == ENOENT) return {};
        return os_failure(removed.error());
    }
    return {};
}

OsResult<void> inherit_access_from_parent(const std::filesystem::path&) { return {}; }

}  // namespace tessaryndle::platform
