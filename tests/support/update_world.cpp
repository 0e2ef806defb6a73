#include "tests/support/update_world.h"

#include <zip.h>

#include <algorithm>
#include <random>
#include <stdexcept>

#include "common/constants.h"
#include "common/current_version.h"
#include "platform/text.h"
#include "tests/support/plan_fixture.h"
#include "tests/support/release_signing.h"
#include "tests/support/test_support.h"

namespace tessaryndle::test {
namespace {

namespace fs = std::filesystem;

fs::path name(std::string_view text) { return fs::path(std::string(text)); }

void copy_program(const fs::path& signed_name, const fs::path& to) {
    std::error_code ec;
    fs::create_directories(to.parent_path(), ec);
    fs::remove(to, ec);
    fs::copy_file(signed_programs_dir() / signed_name, to);
}

// The product programs of one build into `directory`: the application and
// its marker, and the launcher and the agent when asked for.
void place_build(const fs::path& directory, std::string_view build, bool with_stable_components) {
    copy_program("standin_app.exe", directory / name(APPLICATION_EXECUTABLE));
    write_file(directory / "build.txt", build);
    if (with_stable_components) {
        copy_program(name(LAUNCHER_EXECUTABLE), directory / name(LAUNCHER_EXECUTABLE));
        copy_program(name(UPDATER_AGENT_EXECUTABLE), directory / name(UPDATER_AGENT_EXECUTABLE));
    }
}

void place_stable_components(const fs::path& directory) {
    copy_program(name(LAUNCHER_EXECUTABLE), directory / name(LAUNCHER_EXECUTABLE));
    copy_program(name(UPDATER_AGENT_EXECUTABLE), directory / name(UPDATER_AGENT_EXECUTABLE));
}

}  // namespace

fs::path signed_programs_dir() { return binary_dir() / "signed-programs"; }
fs::path signed_programs_root_ca() { return signed_programs_dir() / "pki" / "test-root-ca.pem"; }

fs::path UpdateWorld::application() const {
    return install / name(VERSIONS_DIRECTORY) / name(OLD_BUILD) / name(APPLICATION_EXECUTABLE);
}
fs::path UpdateWorld::launcher() const { return install / name(LAUNCHER_EXECUTABLE); }
fs::path UpdateWorld::agent() const { return install / name(UPDATER_AGENT_EXECUTABLE); }

void UpdateWorld::write_template() const { write_file(plan_template, plan_text(plan)); }

std::string fresh_nonce() {
    static constexpr char LETTERS[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device device;
    std::string nonce;
    for (int i = 0; i < 48; ++i) nonce += LETTERS[device() % 36];
    return nonce;
}

void write_zip(const fs::path& archive, const fs::path& parent, const fs::path& directory,
               const std::map<std::string, std::string>& extra) {
    int error = 0;
    zip_t* zip = zip_open(path_display(archive).c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (zip == nullptr) throw std::runtime_error("cannot create " + archive.string());
    std::vector<std::string> contents;  // libzip reads the buffers at zip_close
    contents.reserve(extra.size());
    auto add = [&](const std::string& entry, zip_source_t* source) {
        const zip_int64_t index =
            source == nullptr ? -1 : zip_file_add(zip, entry.c_str(), source, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(source);
            throw std::runtime_error("cannot add " + entry);
        }
        // Stored: the programs are large, and compressing them only slows
        // the tests down.
        zip_set_file_compression(zip, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
    };
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        add(fs::relative(file, parent).generic_string(), zip_source_file(zip, path_display(file).c_str(), 0, -1));
    }
    for (const auto& [entry, bytes] : extra) {
        contents.push_back(bytes);
        add(entry, zip_source_buffer(zip, contents.back().data(), contents.back().size(), 0));
    }
    if (zip_close(zip) != 0) {
        zip_discard(zip);
        throw std::runtime_error("cannot write " + archive.string());
    }
}

UpdateWorld make_update_world(const fs::path& root, const UpdateWorldOptions& options) {
    UpdateWorld world;
    world.root = root;
    world.install = root / "install";
    world.session = root / "session";
    world.staging = root / "staging";
    world.archive = root / "downloads" / "update.zip";
    world.records = root / "records";
    world.plan_template = root / "plan-template.json";
    fs::create_directories(world.records);
    fs::create_directories(world.archive.parent_path());

    // Version 1, installed and active.
    place_stable_components(world.install);
    place_build(world.install / name(VERSIONS_DIRECTORY) / name(OLD_BUILD), OLD_BUILD, false);
    CurrentVersion manifest;
    manifest.version = std::string(OLD_BUILD);
    manifest.executable = name(VERSIONS_DIRECTORY) / name(OLD_BUILD) / name(APPLICATION_EXECUTABLE);
    if (!write_current_version(world.install / name(CURRENT_VERSION_MANIFEST), manifest)) {
        throw std::runtime_error("cannot write current.json");
    }

    // Version 2: the payload as the application extracted it, and the
    // release-signed archive it came from.
    const fs::path payload = world.staging / "payload";
    place_build(payload, NEW_BUILD, true);
    std::map<std::string, std::string> extra;
    if (options.unsafe_entry) extra["../escaped.txt"] = "written outside the destination";
    write_zip(world.archive, world.staging, payload, extra);

    InstallPlan& plan = world.plan;
    plan = valid_plan(world.session);
    plan.nonce = fresh_nonce();
    plan.app_name = "Tessaryndle Demo";
    plan.version = std::string(NEW_BUILD);
    plan.build = std::string(NEW_BUILD);
    plan.archive_path = world.archive;
    plan.staging_directory = world.staging;
    plan.install_source = payload;
    plan.install_target = world.install;
    plan.relaunch_path = world.launcher();
    plan.parent_pid = 0;
    plan.artifact = release_artifact_for(world.archive);
    plan.fallback_progress_delay_ms = 60000;
    world.write_template();
    return world;
}

std::string current_build(const fs::path& installation) {
    const auto manifest = read_current_version(installation / name(CURRENT_VERSION_MANIFEST));
    return manifest ? manifest->version : "";
}

std::vector<std::string> listing(const fs::path& root) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::string entry = fs::relative(it->path(), root).generic_string();
        if (it->is_directory(ec) && !it->is_symlink(ec)) entry += "/";
        out.push_back(entry);
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace tessaryndle::test
