#pragma once
// Installations and update payloads on disk for the activation tests. Every
// product executable is a copy of the Authenticode fixture's signed image, so
// that activation's trust checks pass (the test root must be trusted, see
// TrustTestRoot); each build carries a marker file naming it.

#include <filesystem>
#include <string>
#include <string_view>

namespace tessaryndle::test {

inline constexpr std::string_view BUILD_MARKER = "build.txt";

// Writes a payload for `build` into `directory` (created): the application,
// the launcher and the agent, the marker file, and "data/nested/deep.txt".
void make_payload(const std::filesystem::path& directory, std::string_view build);

// Makes an installation in `directory` (created) whose active build is
// `build`: the launcher, the agent, versions/{build} with the application
// and the marker, and a current.json naming versions/{build}/tessaryndle-app.exe.
void make_installation(const std::filesystem::path& directory, std::string_view build);

// versions/{build}/tessaryndle-app.exe in the platform's separators.
[[nodiscard]] std::filesystem::path app_relative(std::string_view build);

// The marker of the build directory versions/{build}, or "" when missing.
[[nodiscard]] std::string build_marker(const std::filesystem::path& installation, std::string_view build);

// A fresh directory on another file system than the build tree (natively
// under /dev/shm, a tmpfs; under Wine the same place as Z:\dev\shm), removed
// with everything in it at destruction. Empty path when there is none.
class ForeignTempDir {
public:
    ForeignTempDir();
    ~ForeignTempDir();
    ForeignTempDir(const ForeignTempDir&) = delete;
    ForeignTempDir& operator=(const ForeignTempDir&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace tessaryndle::test
