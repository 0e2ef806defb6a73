// How long activation takes for payloads of about 10 MB, 100 MB and 1 GB
// made of many 64 KiB files (native build):
//
// - rename: the payload lies on the installation's file system, so it is
//   renamed into the version store, and every file of it is flushed to
//   stable storage before the manifest switch. Measured twice: with the
//   payload already written back to disk (`sync` before the timing), where
//   the flush only confirms what is there, and with the payload just
//   written, as after an extraction, where the flush writes it back.
// - copy: the payload lies on another file system (/dev/shm, a tmpfs), so it
//   is copied file by file and then removed; compared with `cp -r` of an
//   identical tree between the same two places.
// - staged: copy_staged_tree alone (the copy and the removal of the source)
//   on an identical tree, against `cp -r`.
// - prune: remove_tree of a version directory of that size, which a later
//   activation does once the build is neither current nor previous, against
//   `rm -rf` of a tree of the same size.
//
// Every timed activation is complete: Authenticode checks of the payload and
// the installation (signed test images, test root trusted), the moves, the
// manifest write. `sync` runs before each timing (except for the fresh
// rename) so that write-back of the set-up does not land in the measurement.
//
// Build with -DTESSARYNDLE_BUILD_BENCH=ON (and the tests, for the signing
// fixtures), without sanitizers.
// Usage: activation_bench [--runs=N] [MEGABYTES...]   (default 3 runs of
//        10 100 1024; the medians are shown)

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/installation/activation.h"
#include "common/constants.h"
#include "platform/remove_tree.h"
#include "tests/support/authenticode_fixture.h"
#include "tests/support/installation_builder.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace tessaryndle;
using Clock = std::chrono::steady_clock;

constexpr std::size_t FILE_SIZE = 64 * 1024;
constexpr std::size_t FILES_PER_DIRECTORY = 100;

// A payload of `megabytes` MB in 64 KiB files, 100 per directory.
void make_bulk_payload(const fs::path& directory, const std::string& build, std::size_t megabytes) {
    test::make_payload(directory, build);
    const std::size_t files = megabytes * 1024 * 1024 / FILE_SIZE;
    std::string content(FILE_SIZE, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 131 + 7) & 0xff);
    for (std::size_t i = 0; i < files; ++i) {
        std::string directory_name = "d";
        directory_name.append(std::to_string(i / FILES_PER_DIRECTORY));
        std::string file_name = "f";
        file_name.append(std::to_string(i));
        file_name.append(".bin");
        const fs::path sub = directory / "bulk" / directory_name;
        if (i % FILES_PER_DIRECTORY == 0) fs::create_directories(sub);
        content[0] = static_cast<char>(i & 0xff);
        test::write_file(sub / file_name, content);
    }
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double time_activation(const fs::path& install, const fs::path& payload, const std::string& build,
                       bool sync_first = true) {
    const agent::ActivationInputs inputs{payload, build, build};
    if (sync_first) ::sync();
    const auto start = Clock::now();
    const auto result = agent::activate_update(inputs, install);
    const double elapsed = seconds_since(start);
    if (!result) {
        std::fprintf(stderr, "activation failed: %s\n", result.error().display().c_str());
        std::exit(1);
    }
    return elapsed;
}

double time_command(const std::string& command) {
    ::sync();
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
    return seconds_since(start);
}

struct Figures {
    double rename, fresh, copy, staged, cp, prune, rm;
};

// One round for one size; every tree is made afresh.
Figures measure(std::size_t megabytes) {
    Figures figures{};
    test::TempDir disk;
    test::ForeignTempDir shm;
    if (shm.path().empty()) {
        std::fprintf(stderr, "no /dev/shm\n");
        std::exit(1);
    }
    const fs::path install = disk / "install";
    test::make_installation(install, "A");

    // Rename: payload beside the installation, written back beforehand.
    make_bulk_payload(disk / "payload-B", "B", megabytes);
    figures.rename = time_activation(install, disk / "payload-B", "B");

    // Rename of a payload just written: A is pruned, B kept.
    ::sync();
    make_bulk_payload(disk / "payload-F", "F", megabytes);
    figures.fresh = time_activation(install, disk / "payload-F", "F", false);

    // Copy fallback: payload on the tmpfs; C over F keeps F, prunes B.
    make_bulk_payload(shm.path() / "payload-C", "C", megabytes);
    figures.copy = time_activation(install, shm.path() / "payload-C", "C");

    // cp -r of an identical tree between the same two file systems.
    make_bulk_payload(shm.path() / "payload-D", "D", megabytes);
    std::string command = "cp -r '";
    command.append((shm.path() / "payload-D").string());
    command.append("' '");
    command.append((disk / "cp-copy").string());
    command.append("'");
    figures.cp = time_command(command);

    // The copy fallback alone (copy, then removal of the source).
    make_bulk_payload(shm.path() / "payload-E", "E", megabytes);
    ::sync();
    auto start = Clock::now();
    if (!agent::copy_staged_tree(shm.path() / "payload-E", disk / "staged-copy")) std::exit(1);
    figures.staged = seconds_since(start);

    // Pruning a build of this size, against rm -rf of a same-sized tree.
    ::sync();
    start = Clock::now();
    if (!platform::remove_tree(install / std::string(VERSIONS_DIRECTORY) / "F")) std::exit(1);
    figures.prune = seconds_since(start);
    command = "rm -rf '";
    command.append((disk / "cp-copy").string());
    command.append("'");
    figures.rm = time_command(command);
    return figures;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t runs = 3;
    std::vector<std::size_t> sizes;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--runs=", 0) == 0) {
            runs = std::stoul(argument.substr(7));
        } else {
            sizes.push_back(std::stoul(argument));
        }
    }
    if (sizes.empty()) sizes = {10, 100, 1024};

    test::TrustTestRoot trust;
    (void)test::authenticode_fixtures();

    // Medians in seconds: whole activation by rename (payload on disk
    // already, and just written) and by copy; copy_staged_tree alone; cp -r;
    // remove_tree of one build (pruning); rm -rf.
    std::printf("%8s %8s %10s %10s %10s %10s %10s %10s %10s\n", "MB", "files", "rename", "fresh", "copy", "staged",
                "cp -r", "prune", "rm -rf");
    for (const std::size_t megabytes : sizes) {
        std::vector<double> rename, fresh, copy, staged, cp, prune, rm;
        for (std::size_t run = 0; run < runs; ++run) {
            const Figures f = measure(megabytes);
            rename.push_back(f.rename);
            fresh.push_back(f.fresh);
            copy.push_back(f.copy);
            staged.push_back(f.staged);
            cp.push_back(f.cp);
            prune.push_back(f.prune);
            rm.push_back(f.rm);
        }
        const std::size_t files = megabytes * 1024 * 1024 / FILE_SIZE;
        std::printf("%8zu %8zu %10.3f %10.3f %10.3f %10.3f %10.3f %10.3f %10.3f\n", megabytes, files, median(rename),
                    median(fresh), median(copy), median(staged), median(cp), median(prune), median(rm));
        std::fflush(stdout);
    }
    return 0;
}
