#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <sys/file.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/ascii.h"
#include "platform/descriptor_posix.h"
#include "platform/directory_listing_posix.h"
#include "platform/name_rules.h"
#include "platform/private_directory.h"
#include "platform/random.h"
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

// Whose directories are accepted: only those of the trusted owner, or those
// of anybody (a folder of the user's that the caller writes into).
enum class Owner { Trusted, Any };

// `name` inside `parent`, never through a link at `name`: ELOOP there means
// a link, ENOTDIR something that is not a directory.
PrivateDirectoryResult<Descriptor> open_component(int parent, const std::filesystem::path& name,
                                                  Owner owner = Owner::Trusted) {
    const int fd = retry_on_eintr([&] { return ::openat(parent, name.c_str(), DIRECTORY_FLAGS | O_NOFOLLOW); });
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR) return unsafe();
        return os_failure(OsError::last());
    }
    Descriptor directory(fd);
    if (owner == Owner::Trusted) {
        if (auto checked = check_owner(directory.get()); !checked) return std::unexpected(checked.error());
    }
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

// Whether the directory open on `fd` was changed within the last minute: a
// worker may have made it and not yet marked it as in use.
bool recently_changed(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return true;
    const auto changed = std::chrono::system_clock::from_time_t(st.st_mtime);
    return std::chrono::system_clock::now() - changed < std::chrono::minutes(1);
}

// A hidden name beside `name` that nothing else has: "." + name +
// ".untrusted-" and 16 random hexadecimal digits.
OsResult<std::string> aside_name(const std::filesystem::path& name) {
    std::uint8_t random[8];
    if (auto drawn = system_random_bytes(random); !drawn) return std::unexpected(drawn.error());
    std::string text = "." + name.native() + ".untrusted-";
    text += lowercase_hex(random);
    return text;
}

PrivateDirectoryResult<Descriptor> open_base(const std::filesystem::path& base, Owner owner = Owner::Trusted) {
    const int fd = retry_on_eintr([&] { return ::open(base.c_str(), DIRECTORY_FLAGS); });
    if (fd < 0) return os_failure(OsError::last());
    Descriptor directory(fd);
    if (owner == Owner::Trusted) {
        if (auto checked = check_owner(directory.get()); !checked) return std::unexpected(checked.error());
    }
    return directory;
}

// Makes room for the directory `name` inside `parent` when something that
// is not a directory of the trusted owner took the name first (a user's
// folder, file or link: the user could open it up again, or point it
// elsewhere, and it would block every later session for good). It is renamed
// aside under a unique name and removed there, links never followed; a
// removal that fails leaves it aside, out of the way.
PrivateDirectoryResult<void> clear_squatter(int parent, const std::filesystem::path& name) {
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return {};
        return os_failure(OsError::last());
    }
    if (S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()) return {};
    auto aside = aside_name(name);
    if (!aside) return os_failure(aside.error());
    if (::renameat(parent, name.c_str(), parent, aside->c_str()) != 0) return os_failure(OsError::last());
    static_cast<void>(remove_any(parent, *aside));
    return {};
}

// Fails with EWOULDBLOCK when the directory `name` inside `parent` is marked
// as in use by another process; anything else (nothing there, no directory,
// no mark) is success.
PrivateDirectoryResult<void> check_not_in_use(int parent, const std::filesystem::path& name) {
    const Descriptor directory(
        retry_on_eintr([&] { return ::openat(parent, name.c_str(), DIRECTORY_FLAGS | O_NOFOLLOW); }));
    if (!directory.valid()) return {};
    if (::flock(directory.get(), LOCK_EX | LOCK_NB) != 0) return os_failure(OsError::last());
    return {};
}

// `base`/`names`..., each already there, walked and checked without
// creating or changing anything; the descriptor of the last.
PrivateDirectoryResult<Descriptor> open_existing(const std::filesystem::path& base,
                                                 const std::vector<std::filesystem::path>& names) {
    auto current = open_base(base);
    if (!current) return std::unexpected(current.error());
    for (const std::filesystem::path& name : names) {
        if (!is_plain_component(name.native())) return unsafe();
        auto next = open_component(current->get(), name);
        if (!next) return std::unexpected(next.error());
        current = std::move(next);
    }
    return current;
}

// Writes `bytes` whole to the new file `name` inside `directory`, never
// through a link there, and flushes it.
OsResult<void> write_new_file_at(int directory, const std::filesystem::path& name, std::string_view bytes) {
    const Descriptor file(retry_on_eintr(
        [&] { return ::openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644); }));
    if (!file.valid()) return std::unexpected(OsError::last());
    while (!bytes.empty()) {
        const ssize_t n = retry_on_eintr([&] { return ::write(file.get(), bytes.data(), bytes.size()); });
        if (n < 0) return std::unexpected(OsError::last());
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::fsync(file.get()) != 0) return std::unexpected(OsError::last());
    return {};
}

}  // namespace

PrivateDirectoryResult<PrivateDirectory> create_private_directory(const std::filesystem::path& base,
                                                                  const std::vector<std::filesystem::path>& names) {
    if (names.empty()) return unsafe();
    auto current = open_base(base);
    if (!current) return std::unexpected(current.error());
    std::filesystem::path shown = base;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::filesystem::path& name = names[i];
        if (!is_plain_component(name.native())) return unsafe();
        const bool last = i + 1 == names.size();
        if (last) {
            if (auto free = check_not_in_use(current->get(), name); !free) return std::unexpected(free.error());
            if (auto removed = remove_any(current->get(), name); !removed) return std::unexpected(removed.error());
        } else if (auto cleared = clear_squatter(current->get(), name); !cleared) {
            return std::unexpected(cleared.error());
        }
        const bool created = ::mkdirat(current->get(), name.c_str(), S_IRWXU) == 0;
        if (!created && (last || errno != EEXIST)) return os_failure(OsError::last());
        auto next = open_component(current->get(), name);
        if (!next) return std::unexpected(next.error());
        if (created) {
            if (auto made = make_private(next->get()); !made) return std::unexpected(made.error());
        }
        shown /= name;
        if (last) {
            // A second open of its own for the caller to work through,
            // independent of the descriptor that carries the lock.
            const int held =
                retry_on_eintr([&] { return ::openat(current->get(), name.c_str(), DIRECTORY_FLAGS | O_NOFOLLOW); });
            if (held < 0) return os_failure(OsError::last());
            PrivateDirectory made{HeldDirectory::adopt(NativeHandle(held), shown), NativeHandle{}};
            struct stat locked {};
            struct stat opened {};
            if (::fstat(next->get(), &locked) != 0 || ::fstat(held, &opened) != 0) return os_failure(OsError::last());
            if (locked.st_dev != opened.st_dev || locked.st_ino != opened.st_ino) return unsafe();
            // The directory is new, so nobody else can hold its lock yet.
            if (::flock(next->get(), LOCK_EX | LOCK_NB) != 0) return os_failure(OsError::last());
            made.in_use = NativeHandle(next->release());
            return made;
        }
        current = std::move(next);
    }
    return unsafe();
}

PrivateDirectoryResult<void> remove_private_directory(const std::filesystem::path& base,
                                                      const std::vector<std::filesystem::path>& names) {
    if (names.empty()) return unsafe();
    auto current = open_existing(base, {names.begin(), names.end() - 1});
    if (!current) return std::unexpected(current.error());
    if (!is_plain_component(names.back().native())) return unsafe();
    if (auto removed = remove_tree_at(current->get(), names.back().c_str()); !removed) {
        if (removed.error().code == ENOENT) return {};
        return os_failure(removed.error());
    }
    return {};
}

PrivateDirectoryResult<std::size_t> remove_abandoned_private_directories(
    const std::filesystem::path& base, const std::vector<std::filesystem::path>& names,
    const std::filesystem::path& keep) {
    auto current = open_existing(base, names);
    if (!current) return std::unexpected(current.error());
    const auto entries = read_directory_entries(current->get());
    if (!entries) return os_failure(entries.error());
    std::size_t removed = 0;
    for (const DirectoryEntry& entry : *entries) {
        if (entry.kind != EntryKind::Directory || entry.name == keep.native()) continue;
        // Opened without following: whatever was put under the name since
        // the listing, only a directory is taken. Its lock is held while it
        // goes, so a process that marks it meanwhile finds it taken.
        const Descriptor directory(
            retry_on_eintr([&] { return ::openat(current->get(), entry.name.c_str(), DIRECTORY_FLAGS | O_NOFOLLOW); }));
        if (!directory.valid() || ::flock(directory.get(), LOCK_EX | LOCK_NB) != 0) continue;
        if (recently_changed(directory.get())) continue;
        if (remove_tree_at(current->get(), entry.name.c_str())) ++removed;
    }
    return removed;
}

PrivateDirectoryResult<void> replace_file_below(const std::filesystem::path& base,
                                                const std::vector<std::filesystem::path>& names,
                                                const std::filesystem::path& file_name,
                                                const std::filesystem::path& temporary_name, std::string_view bytes) {
    if (!is_plain_component(file_name.native()) || !is_plain_component(temporary_name.native())) return unsafe();
    auto current = open_base(base, Owner::Any);
    if (!current) return std::unexpected(current.error());
    for (const std::filesystem::path& name : names) {
        if (!is_plain_component(name.native())) return unsafe();
        if (::mkdirat(current->get(), name.c_str(), S_IRWXU | S_IRWXG | S_IRWXO) != 0 && errno != EEXIST) {
            return os_failure(OsError::last());
        }
        auto next = open_component(current->get(), name, Owner::Any);
        if (!next) return std::unexpected(next.error());
        current = std::move(next);
    }
    // Everything below goes through the descriptor of the folder just
    // checked: a link put in place of a folder meanwhile is never entered.
    const int folder = current->get();
    if (::unlinkat(folder, temporary_name.c_str(), 0) != 0 && errno != ENOENT) return os_failure(OsError::last());
    if (auto written = write_new_file_at(folder, temporary_name, bytes); !written) return os_failure(written.error());
    if (::renameat(folder, temporary_name.c_str(), folder, file_name.c_str()) != 0) {
        return os_failure(OsError::last());
    }
    if (::fsync(folder) != 0) return os_failure(OsError::last());
    return {};
}

OsResult<void> inherit_access_from_parent(const std::filesystem::path&) { return {}; }

}  // namespace tessaryndle::platform
