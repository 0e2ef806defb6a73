#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <sys/stat.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "platform/descriptor_posix.h"
#include "platform/held_directory.h"
#include "platform/process.h"

namespace tessaryndle::platform {
namespace {

constexpr std::string_view THROUGH_PREFIX = "/proc/self/fd/";

// Which held directory each "/proc/self/fd/N" stands for, as the user knows
// it. Held directories come and go on more than one thread in tests.
struct ShownPaths {
    std::mutex mutex;
    std::map<int, std::filesystem::path> by_descriptor;
};
ShownPaths& shown_paths() {
    static ShownPaths paths;
    return paths;
}

int descriptor(const NativeHandle& handle) { return static_cast<int>(handle.get()); }

bool plain_name(const std::filesystem::path& name) {
    const std::string& text = name.native();
    return !text.empty() && text != "." && text != ".." && text.find('/') == std::string::npos;
}

std::unexpected<ReplaceFailure> temporary_failure(OsError error) {
    return std::unexpected(ReplaceFailure{ReplaceFailure::Stage::Temporary, std::move(error)});
}

}  // namespace

ShownAlias::ShownAlias(std::intptr_t handle, const std::filesystem::path& shown) : handle_(handle) {
    ShownPaths& paths = shown_paths();
    const std::lock_guard lock(paths.mutex);
    paths.by_descriptor[static_cast<int>(handle)] = shown;
}

ShownAlias& ShownAlias::operator=(ShownAlias&& other) noexcept {
    if (this != &other) {
        ShownAlias gone(std::move(*this));
        handle_ = std::exchange(other.handle_, NativeHandleTraits::invalid());
    }
    return *this;
}

ShownAlias::~ShownAlias() {
    if (handle_ == NativeHandleTraits::invalid()) return;
    ShownPaths& paths = shown_paths();
    const std::lock_guard lock(paths.mutex);
    paths.by_descriptor.erase(static_cast<int>(handle_));
}

std::filesystem::path shown_path(const std::filesystem::path& path) {
    const std::string& text = path.native();
    if (!text.starts_with(THROUGH_PREFIX)) return path;
    const std::size_t digits_end = text.find('/', THROUGH_PREFIX.size());
    const std::string digits = text.substr(THROUGH_PREFIX.size(), digits_end - THROUGH_PREFIX.size());
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) {
        return path;
    }
    ShownPaths& paths = shown_paths();
    const std::lock_guard lock(paths.mutex);
    const auto found = paths.by_descriptor.find(std::stoi(digits));
    if (found == paths.by_descriptor.end()) return path;
    if (digits_end == std::string::npos) return found->second;
    return found->second / std::filesystem::path(text.substr(digits_end + 1));
}

HeldDirectory::HeldDirectory(std::intptr_t handle, const std::filesystem::path& opened)
    : handle_(handle),
      through_(std::string(THROUGH_PREFIX) + std::to_string(handle)),
      shown_(shown_path(opened)),
      alias_(handle, shown_) {}

HeldDirectory HeldDirectory::adopt(NativeHandle handle, const std::filesystem::path& shown) {
    return HeldDirectory(handle.release(), shown);
}

OsResult<HeldDirectory> HeldDirectory::open_no_follow(const std::filesystem::path& path) {
    const int fd =
        retry_on_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    if (fd < 0) return std::unexpected(OsError::last());
    HeldDirectory held(fd, path);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::unexpected(OsError::last());
    if (!S_ISDIR(st.st_mode)) return std::unexpected(OsError::from_code(ENOTDIR));
    return held;
}

OsResult<bool> HeldDirectory::same_directory_as(const HeldDirectory& other) const {
    struct stat mine {};
    struct stat theirs {};
    if (::fstat(descriptor(handle_), &mine) != 0 || ::fstat(descriptor(other.handle_), &theirs) != 0) {
        return std::unexpected(OsError::last());
    }
    return mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
}

std::expected<void, ReplaceFailure> HeldDirectory::replace_file(const std::filesystem::path& name,
                                                                const std::filesystem::path& temporary_name,
                                                                std::string_view bytes) const {
    if (!plain_name(name) || !plain_name(temporary_name)) return temporary_failure(OsError::from_code(EINVAL));
    const int directory = descriptor(handle_);
    // A left-over temporary goes as an entry; a directory there is no
    // temporary of ours and stays (the create below then fails).
    if (::unlinkat(directory, temporary_name.c_str(), 0) != 0 && errno != ENOENT && errno != EISDIR) {
        return temporary_failure(OsError::last());
    }
    const Descriptor file(retry_on_eintr([&] {
        return ::openat(directory, temporary_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    }));
    if (!file.valid()) return temporary_failure(OsError::last());
    while (!bytes.empty()) {
        const ssize_t n = retry_on_eintr([&] { return ::write(file.get(), bytes.data(), bytes.size()); });
        if (n < 0) return temporary_failure(OsError::last());
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::fsync(file.get()) != 0) return temporary_failure(OsError::last());
    if (::renameat(directory, temporary_name.c_str(), directory, name.c_str()) != 0 || ::fsync(directory) != 0) {
        return std::unexpected(ReplaceFailure{ReplaceFailure::Stage::Rename, OsError::last()});
    }
    return {};
}

OsResult<HeldDirectory> hold_own_image_directory() {
    auto image = own_executable_path();
    if (!image) return std::unexpected(image.error());
    auto held = HeldDirectory::open_no_follow(image->parent_path());
    if (!held) return held;
    // The name read from /proc/self/exe was a text: the directory opened
    // by it must really hold the running image under that name.
    struct stat running {};
    struct stat named {};
    if (::stat("/proc/self/exe", &running) != 0) return std::unexpected(OsError::last());
    const int fd = ::open(held->path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(OsError::last());
    const Descriptor directory(fd);
    if (::fstatat(directory.get(), image->filename().c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::unexpected(OsError::last());
    }
    if (running.st_dev != named.st_dev || running.st_ino != named.st_ino) {
        return std::unexpected(OsError::from_code(ESTALE));
    }
    return held;
}

}  // namespace tessaryndle::platform
