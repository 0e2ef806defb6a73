// The elevated worker's whole durable run against the plain serial pipeline
// that does the same work on the same disk (native build):
//
// - worker: the installed agent started in execute-plan mode, as the
//   elevation would start it, on a release-signed archive: it copies the
//   archive into its own session directory, verifies it (length, SHA-256,
//   Ed25519), extracts it, checks the signatures of the new build's
//   programs, flushes every file and directory of the new build, switches
//   the manifest and writes its result. Timed from its start to its end.
// - pipeline: `cp` of the archive, `sha256sum`, `sha512sum`, `unzip -q`,
//   then `sync` of every file and directory that unzip wrote (one fsync
//   each, as coreutils' sync does with arguments), one after the other.
//
// The payload: the signed programs of this build, and FILES files of
// together MIB MiB in directories of 100; every other file is random bytes
// (incompressible), the rest text, so that about half the payload deflates.
// The archive is Deflate (level 6), written once. Before each timed run the
// installation is put back to version 1, everything is written back
// (`sync`), and the archive is read once so that both sides find it in the
// page cache. Runs alternate between the two sides; medians are shown.
//
// Build with -DTESSARYNDLE_BUILD_BENCH=ON, the tests and the test hooks (for
// the signed programs and the test release key), without sanitizers:
// scripts/bench_update.sh does that.
// Usage: update_bench WORK_DIRECTORY MIB FILES [RUNS]   (default 3 runs)

#include <zip.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/constants.h"
#include "platform/text.h"
#include "tests/support/fault_injection.h"
#include "tests/support/release_signing.h"
#include "tests/support/test_support.h"
#include "tests/support/update_world.h"

namespace {

namespace fs = std::filesystem;
using namespace tessaryndle;
using Clock = std::chrono::steady_clock;

constexpr std::size_t FILES_PER_DIRECTORY = 100;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The bulk of the payload below `payload`: `files` files of together
// `mebibytes` MiB, every other one random.
void write_bulk(const fs::path& payload, std::size_t mebibytes, std::size_t files) {
    const std::size_t size = mebibytes * 1024 * 1024 / files;
    std::mt19937_64 random(12345);
    std::string text;
    while (text.size() < size)
        text += "the quick brown fox jumps over the lazy dog, line " + std::to_string(text.size()) + "\n";
    text.resize(size);
    std::string noise(size, '\0');
    for (std::size_t i = 0; i < files; ++i) {
        const fs::path directory = payload / "bulk" / ("d" + std::to_string(i / FILES_PER_DIRECTORY));
        if (i % FILES_PER_DIRECTORY == 0) fs::create_directories(directory);
        std::string* content = &text;
        if (i % 2 == 0) {
            for (std::size_t at = 0; at + 8 <= noise.size(); at += 8) {
                const std::uint64_t word = random();
                std::memcpy(noise.data() + at, &word, 8);
            }
            content = &noise;
        } else {
            text[0] = static_cast<char>('a' + i % 26);
        }
        test::write_file(directory / ("f" + std::to_string(i) + ".bin"), *content);
    }
}

// A Deflate archive of everything below `payload`, entry names relative to
// its parent, as a release would be built.
void write_deflate_zip(const fs::path& archive, const fs::path& payload) {
    int error = 0;
    zip_t* zip = zip_open(path_display(archive).c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (zip == nullptr) throw std::runtime_error("cannot create " + archive.string());
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(payload)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        const std::string name = fs::relative(file, payload.parent_path()).generic_string();
        zip_source_t* source = zip_source_file(zip, path_display(file).c_str(), 0, -1);
        const zip_int64_t index = source == nullptr ? -1 : zip_file_add(zip, name.c_str(), source, ZIP_FL_ENC_UTF_8);
        if (index < 0) throw std::runtime_error("cannot add " + name);
        zip_set_file_compression(zip, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 6);
    }
    if (zip_close(zip) != 0) throw std::runtime_error("cannot write " + archive.string());
}

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

void run_shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// Everything written back and the archive in the page cache.
void settle(const fs::path& archive) {
    ::sync();
    run_shell("cat " + quoted(archive) + " > /dev/null");
}

double time_pipeline(const fs::path& archive, const fs::path& work) {
    const fs::path copy = work / "pipeline.zip";
    const fs::path out = work / "pipeline-out";
    fs::remove_all(out);
    fs::remove(copy);
    settle(archive);
    const auto start = Clock::now();
    run_shell("cp " + quoted(archive) + " " + quoted(copy) + " && sha256sum " + quoted(copy) +
              " > /dev/null && sha512sum " + quoted(copy) + " > /dev/null && unzip -q " + quoted(copy) + " -d " +
              quoted(out) + " && find " + quoted(out) + " -print0 | xargs -0 sync --");
    const double elapsed = seconds_since(start);
    fs::remove_all(out);
    fs::remove(copy);
    return elapsed;
}

double time_worker(test::FaultWorld& fault, const fs::path& pristine_install) {
    fs::remove_all(fault.world.install);
    fs::copy(pristine_install, fault.world.install, fs::copy_options::recursive);
    fs::remove_all(fault.world.session);
    fault.world.plan.nonce = test::fresh_nonce();
    settle(fault.world.archive);
    const auto start = Clock::now();
    const test::RunResult run = fault.run(test::InstallMode::Worker);
    const double elapsed = seconds_since(start);
    if (run.exit_status != 0 || test::current_build(fault.world.install) != test::NEW_BUILD) {
        throw std::runtime_error("the worker failed: " + run.stdout_bytes + run.start_error + " " +
                                 test::read_file(fault.world.session / std::string(INSTALL_RESULT_FILE_NAME)));
    }
    return elapsed;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string load_average() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

}  // namespace

int main(int argc, char** argv) try {
    if (argc < 4) {
        std::fprintf(stderr, "usage: update_bench WORK_DIRECTORY MIB FILES [RUNS]\n");
        return 2;
    }
    const fs::path work = fs::absolute(argv[1]);
    const std::size_t mebibytes = std::stoul(argv[2]);
    const std::size_t files = std::stoul(argv[3]);
    const std::size_t runs = argc > 4 ? std::stoul(argv[4]) : 3;

    fs::remove_all(work);
    fs::create_directories(work);
    test::FaultWorld fault(work / "world");
    const fs::path pristine_install = work / "pristine-install";
    fs::copy(fault.world.install, pristine_install, fs::copy_options::recursive);

    // The release: the world's own payload (the signed programs) and the bulk.
    const fs::path payload = fault.world.staging / "payload";
    write_bulk(payload, mebibytes, files);
    write_deflate_zip(fault.world.archive, payload);
    fs::remove_all(payload / "bulk");
    fault.world.plan.artifact = test::release_artifact_for(fault.world.archive);
    std::size_t entries = 0;
    for (const auto& entry : fs::recursive_directory_iterator(payload)) entries += entry.is_regular_file() ? 1 : 0;
    std::printf("payload %zu MiB in %zu files, archive %.0f MiB\n", mebibytes, files + entries,
                static_cast<double>(fs::file_size(fault.world.archive)) / (1024 * 1024));

    std::vector<double> worker, pipeline;
    for (std::size_t run = 0; run < runs; ++run) {
        const std::string before = load_average();
        worker.push_back(time_worker(fault, pristine_install));
        pipeline.push_back(time_pipeline(fault.world.archive, work));
        std::printf("  run %zu: worker %.2f s, pipeline %.2f s, ratio %.2f (load average %s)\n", run + 1, worker.back(),
                    pipeline.back(), worker.back() / pipeline.back(), before.c_str());
        std::fflush(stdout);
    }
    const double w = median(worker), p = median(pipeline);
    std::printf("median: worker %.2f s, pipeline %.2f s, ratio %.2f (load average after %s)\n", w, p, w / p,
                load_average().c_str());
    fs::remove_all(work);
    return 0;
} catch (const std::exception& error) {
    std::fprintf(stderr, "update_bench: %s\n", error.what());
    return 1;
}
