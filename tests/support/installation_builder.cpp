#include "tests/support/installation_builder.h"

#include <atomic>
#include <chrono>
#include <random>
#include <stdexcept>

#include "common/constants.h"
#include "common/current_version.h"
#include "tests/support/authenticode_fixture.h"
#include "tests/support/test_support.h"

namespace tessaryndle::test {
namespace {

namespace fs = std::filesystem;

fs::path name(std::string_view text) { return fs::path(std::string(text)); }

// libstdc++'s copy_file cannot overwrite on Windows; remove first.
void copy_signed(const fs::path& to) {
    fs::remove(to);
    fs::copy_file(authenticode_fixtures().signed_pe, to);
}

}  // namespace

fs::path app_relative(std::string_view build) {
    return name(VERSIONS_DIRECTORY) / name(build) / name(APPLICATION_EXECUTABLE);
}

void make_payload(const fs::path& directory, std::string_view build) {
    fs::create_directories(directory / "data" / "nested");
    copy_signed(directory / name(APPLICATION_EXECUTABLE));
    copy_signed(directory / name(LAUNCHER_EXECUTABLE));
    copy_signed(directory / name(UPDATER_AGENT_EXECUTABLE));
    write_file(directory / name(BUILD_MARKER), build);
    write_file(directory / "data" / "nested" / "deep.txt", "deep");
}

void make_installation(const fs::path& directory, std::string_view build) {
    const fs::path version = directory / name(VERSIONS_DIRECTORY) / name(build);
    fs::create_directories(version);
    copy_signed(directory / name(LAUNCHER_EXECUTABLE));
    copy_signed(directory / name(UPDATER_AGENT_EXECUTABLE));
    copy_signed(version / name(APPLICATION_EXECUTABLE));
    write_file(version / name(BUILD_MARKER), build);
    CurrentVersion manifest;
    manifest.version = std::string(build);
    manifest.executable = app_relative(build);
    if (!write_current_version(directory / name(CURRENT_VERSION_MANIFEST), manifest)) {
        throw std::runtime_error("cannot write the installation's manifest");
    }
}

std::string build_marker(const fs::path& installation, std::string_view build) {
    const fs::path marker = installation / name(VERSIONS_DIRECTORY) / name(build) / name(BUILD_MARKER);
    std::error_code ec;
    if (!fs::is_regular_file(marker, ec)) return "";
    return read_file(marker);
}

ForeignTempDir::ForeignTempDir() {
    const fs::path shm = on_windows() ? fs::path("Z:\\dev\\shm") : fs::path("/dev/shm");
    std::error_code ec;
    if (!fs::is_directory(shm, ec)) return;
    static std::atomic<unsigned> counter{0};
    std::random_device device;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = shm / ("tessaryndle-test-" + std::to_string(device()) + "-" + std::to_string(stamp) + "-" +
                   std::to_string(counter++));
    fs::create_directories(path_);
}

ForeignTempDir::~ForeignTempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
}

}  // namespace tessaryndle::test
