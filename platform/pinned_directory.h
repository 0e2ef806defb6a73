#pragma once
// A directory held open so that the paths through it keep naming it.

#include <cstdint>
#include <filesystem>
#include <optional>

#include "platform/native_handle.h"
#include "platform/os_error.h"

namespace tessaryndle::platform {

// A directory opened without following a final link and checked on that
// handle to be a plain directory, not a symbolic link, junction or other
// name surrogate. On Windows the handle shares reading and writing but not
// deletion, so while it is held nobody can rename or remove the directory or
// put a link in its place (entries inside it can still be added, renamed and
// removed, by us too). Elsewhere the descriptor keeps only the directory
// itself alive. Closed exactly once, on destruction.
class PinnedDirectory {
public:
    // nullopt when `path` names a link, a junction or anything but a
    // directory (nothing is followed); the OS error when it cannot be opened,
    // a missing entry included.
    [[nodiscard]] static OsResult<std::optional<PinnedDirectory>> open(const std::filesystem::path& path);

    PinnedDirectory(PinnedDirectory&& other) noexcept = default;
    PinnedDirectory& operator=(PinnedDirectory&& other) noexcept = default;
    PinnedDirectory(const PinnedDirectory&) = delete;
    PinnedDirectory& operator=(const PinnedDirectory&) = delete;
    ~PinnedDirectory() = default;

private:
    explicit PinnedDirectory(std::intptr_t handle) : handle_(handle) {}
    NativeHandle handle_;
};

}  // namespace tessaryndle::platform
