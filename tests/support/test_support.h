#pragma once
// Shared helpers of the unit and integration tests.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tessaryndle::test {

// The repository's source directory and the build directory, as the test
// program sees them (drive Z: under Wine).
[[nodiscard]] std::filesystem::path source_dir();
[[nodiscard]] std::filesystem::path binary_dir();
// The directory of the built programs (the agent, the launcher, the helpers).
[[nodiscard]] std::filesystem::path bin_dir();

// A fresh empty directory, removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::filesystem::path operator/(std::string_view name) const { return path_ / std::string(name); }

private:
    std::filesystem::path path_;
};

[[nodiscard]] std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, std::string_view bytes);
// Writes the file under a temporary sibling name and renames it into place,
// so that another process waiting for the name sees it only complete and
// closed: on Windows a file still open in the writer cannot be removed.
void publish_file(const std::filesystem::path& path, std::string_view bytes);

// Whether the tests run the Windows build (under Wine).
[[nodiscard]] constexpr bool on_windows() {
#ifdef _WIN32
    return true;
#else
    return false;
#endif
}

}  // namespace tessaryndle::test
