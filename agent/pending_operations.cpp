// TEMPORARY STAND-INS for operations that other branches are building
// (processes, progress helper, extraction, the privileged session
// directory). Each goes as soon as the real one lands; none is meant to ship.

#include <zip.h>

#include <random>

#include "agent/extract.h"
#include "agent/process.h"
#include "agent/progress.h"
#include "common/constants.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/remove_tree.h"
#include "platform/text.h"

namespace tessaryndle::agent {

bool needs_elevation(const std::filesystem::path& install_target) {
    static constexpr char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device device;
    std::string name = ".tmp";
    for (int i = 0; i < 6; ++i) name += LETTERS[device() % 62];
    const std::filesystem::path probe = install_target / name;
    auto file = platform::OutputFile::create_new(probe);
    if (!file) return true;
    file->close();
    std::error_code ec;
    std::filesystem::remove(probe, ec);
    return false;
}

Result<void> relaunch_application(const std::filesystem::path& path) {
    if (auto started = platform::start_executable(path, {}); !started)
        return fail(UpdateError::io(path, started.error()));
    return {};
}

ProgressHelper start_progress_helper(const InstallPlan&) { return {}; }
void stop_progress_helper(ProgressHelper) {}

Result<std::filesystem::path> find_payload_root(const std::filesystem::path& directory) {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(directory, ec); !ec && it != decltype(it)(); ++it) {
        if (it.depth() > 3) continue;
        if (it->path().filename() == std::string(APPLICATION_EXECUTABLE) && it->is_regular_file()) {
            return it->path().parent_path();
        }
    }
    return fail(UpdateError::application_not_found(directory));
}

Result<std::filesystem::path> extract_update_archive(const std::filesystem::path& archive,
                                                     const std::filesystem::path& destination,
                                                     std::shared_ptr<const std::atomic<bool>>) {
    int error = 0;
    zip_t* zip = zip_open(archive.string().c_str(), ZIP_RDONLY, &error);
    if (zip == nullptr) return fail(UpdateError::io(archive, OsError::custom("cannot open archive")));
    const zip_int64_t count = zip_get_num_entries(zip, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const std::string name = zip_get_name(zip, static_cast<zip_uint64_t>(i), 0);
        const std::filesystem::path relative = path_from_utf8(name);
        bool unsafe = relative.is_absolute() || relative.has_root_name() || relative.has_root_directory();
        for (const auto& part : relative) unsafe = unsafe || part == "..";
        if (unsafe) {
            zip_close(zip);
            return fail(UpdateError::invalid_artifact("archive contains unsafe path " + name));
        }
        const std::filesystem::path target = destination / relative;
        if (!name.empty() && name.back() == '/') {
            static_cast<void>(platform::create_directories(target));
            continue;
        }
        static_cast<void>(platform::create_directories(target.parent_path()));
        zip_file_t* entry = zip_fopen_index(zip, static_cast<zip_uint64_t>(i), 0);
        auto out = platform::OutputFile::create_truncate(target);
        if (entry == nullptr || !out) {
            if (entry) zip_fclose(entry);
            zip_close(zip);
            return fail(UpdateError::io(target, OsError::custom("cannot extract")));
        }
        char buffer[8192];
        zip_int64_t n;
        while ((n = zip_fread(entry, buffer, sizeof buffer)) > 0) {
            static_cast<void>(out->write_all(std::string_view(buffer, static_cast<std::size_t>(n))));
        }
        zip_fclose(entry);
    }
    zip_close(zip);
    return find_payload_root(destination);
}

}  // namespace tessaryndle::agent
