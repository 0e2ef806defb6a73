// A full disk part-way through the three steps that write a whole build: the
// worker's copy of the archive and its extraction (into its session
// directory under the program data folder), and activation's copy fallback
// (the payload on another file system than the installation). Each runs on
// a size-limited tmpfs, mounted in a mount namespace of this test process
// alone (so nothing outside the test sees it, and it goes when the test
// does). The step must fail with the file system's own error at the file it
// was writing, the old build must stay active, nothing outside the session
// directory may change (the partial copy is removed, not left to fill the
// disk), and the next attempt, with space, must install the update.

#include <sched.h>
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "common/constants.h"
#include "common/update_error.h"
#include "tests/support/fault_injection.h"
#include "tests/support/test_support.h"

namespace tessaryndle::test {
namespace {

namespace fs = std::filesystem;

constexpr std::uintmax_t MIB = 1024 * 1024;

std::uintmax_t tree_size(const fs::path& root) {
    std::uintmax_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) total += (entry.file_size() + 4095) / 4096 * 4096;
    }
    return total;
}

// A private copy of the mount table for this process and its children,
// made once; why not, when it cannot be had.
std::optional<std::string> private_mounts() {
    static const std::optional<std::string> reason = []() -> std::optional<std::string> {
        if (::unshare(CLONE_NEWNS) != 0) {
            return std::string("no mount namespace of its own (needs root): ") + std::strerror(errno);
        }
        if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("cannot make the mounts private: ") + std::strerror(errno);
        }
        return std::nullopt;
    }();
    return reason;
}

// A tmpfs of a given size over a directory, unmounted at destruction.
class SmallFileSystem {
public:
    // Mounts over `directory` (an empty directory, or created) and copies
    // what `contents` holds into it.
    static std::optional<std::string> mount_over(const fs::path& directory, std::uintmax_t bytes,
                                                 std::optional<SmallFileSystem>& out) {
        if (auto why = private_mounts()) return why;
        fs::create_directories(directory);
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
        if (::mount("tmpfs", directory.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            return std::string("cannot mount a tmpfs: ") + std::strerror(errno);
        }
        out.emplace(directory);
        return std::nullopt;
    }
    explicit SmallFileSystem(fs::path directory) : directory_(std::move(directory)) {}
    SmallFileSystem(SmallFileSystem&& other) noexcept : directory_(std::exchange(other.directory_, fs::path())) {}
    ~SmallFileSystem() {
        if (!directory_.empty()) ::umount2(directory_.c_str(), MNT_DETACH);
    }
    // Gives it room: the next attempt runs with space.
    void resize(std::uintmax_t bytes) {
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
        ASSERT_EQ(::mount("tmpfs", directory_.c_str(), "tmpfs", MS_REMOUNT, options.c_str()), 0)
            << std::strerror(errno);
    }

private:
    fs::path directory_;
};

enum class FullAt { ArchiveCopy, Extraction, CopyFallback };

struct DiskFullCase {
    const char* name;
    FullAt at;
};

void PrintTo(const DiskFullCase& full, std::ostream* out) { *out << full.name; }

constexpr DiskFullCase DISK_FULL_CASES[] = {
    {"WorkerArchiveCopy", FullAt::ArchiveCopy},
    {"WorkerExtraction", FullAt::Extraction},
    {"ActivationCopyFallback", FullAt::CopyFallback},
};

class DiskFull : public ::testing::TestWithParam<DiskFullCase> {
protected:
    TempDir dir_;
};

TEST_P(DiskFull, FailsWithTheFileSystemsErrorAndTheNextRunSucceeds) {
    const DiskFullCase& full = GetParam();
    FaultWorld faults(dir_.path());
    const UpdateWorld& world = faults.world;
    const std::uintmax_t archive = fs::file_size(world.archive);
    const std::uintmax_t payload = tree_size(world.staging);
    const std::uintmax_t installed = tree_size(world.install);

    // The disk that fills up, and where the failed step was writing.
    std::optional<SmallFileSystem> disk;
    std::optional<std::string> why;
    fs::path written_below;
    InstallMode mode = InstallMode::Worker;
    switch (full.at) {
        case FullAt::ArchiveCopy:
            why = SmallFileSystem::mount_over(faults.program_data(), archive / 2, disk);
            written_below = faults.privileged_session() / "update.zip";
            break;
        case FullAt::Extraction:
            why = SmallFileSystem::mount_over(faults.program_data(), archive + payload / 2, disk);
            written_below = faults.privileged_session() / "Extracted";
            break;
        case FullAt::CopyFallback: {
            mode = InstallMode::InProcess;
            const fs::path made = dir_ / "install-as-made";
            fs::rename(world.install, made);
            why = SmallFileSystem::mount_over(world.install, installed + payload / 2, disk);
            if (!why) fs::copy(made, world.install, fs::copy_options::recursive);
            written_below = world.install / std::string(VERSIONS_DIRECTORY) / std::string(NEW_BUILD);
            break;
        }
    }
    if (why) GTEST_SKIP() << "no small file system: " << *why;
    const auto install_before = listing(world.install);
    const auto program_data_before = listing(faults.program_data());

    const RunResult failed = faults.run(mode);
    EXPECT_EQ(failed.exit_status, 1) << failed.stdout_bytes;
    std::string error;
    if (mode == InstallMode::Worker) {
        const auto result = read_file(world.session / std::string(INSTALL_RESULT_FILE_NAME));
        ASSERT_EQ(failed.stdout_bytes.rfind("ERROR:", 0), 0u) << failed.stdout_bytes;
        error = failed.stdout_bytes.substr(6, failed.stdout_bytes.size() - 7);
        EXPECT_EQ(result.rfind(R"({"error":")", 0), 0u) << result;
        EXPECT_NE(result.find(R"(","ok":false})"), std::string::npos) << result;
    } else {
        EXPECT_EQ(failed.stdout_bytes.rfind("READY\n", 0), 0u) << failed.stdout_bytes;
        error = faults.log.failure_log().value_or("");
    }
    const std::string where = "I/O error at " + path_display(written_below);
    const std::string os_text = ": " + OsError::from_code(ENOSPC).display();
    EXPECT_EQ(error.rfind(where, 0), 0u) << error;
    EXPECT_TRUE(error.ends_with(os_text)) << error;

    EXPECT_EQ(current_build(world.install), OLD_BUILD);
    EXPECT_EQ(faults.launched_build(), OLD_BUILD);
    EXPECT_EQ(listing(world.install), install_before);
    // The worker's session directory went with what was written into it;
    // the folder holding such directories may stay.
    auto program_data_after = listing(faults.program_data());
    std::erase_if(program_data_after, [](const std::string& entry) {
        return entry == std::string(TRUSTED_APPLICATION_ID) + "/" ||
               entry == std::string(TRUSTED_APPLICATION_ID) + "/Updater/";
    });
    EXPECT_EQ(program_data_after, program_data_before);
    if (mode == InstallMode::InProcess) {
        EXPECT_EQ(tree_size(world.staging), payload) << "the payload stays";
    }

    // With space, the application's next attempt installs the update.
    disk->resize(installed + 2 * (archive + payload) + 16 * MIB);
    faults.prepare_next_attempt();
    const RunResult again = faults.run(mode);
    EXPECT_EQ(again.exit_status, 0) << again.stdout_bytes << faults.log.failure_log().value_or("");
    EXPECT_EQ(current_build(world.install), NEW_BUILD);
    EXPECT_EQ(faults.launched_build(), NEW_BUILD);
}

INSTANTIATE_TEST_SUITE_P(FaultInjection, DiskFull, ::testing::ValuesIn(DISK_FULL_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessaryndle::test
