#include "tools/release/archive_check.h"

#include <array>
#include <map>
#include <string_view>

#include "agent/extract.h"
#include "agent/extract_entry_names.h"
#include "common/constants.h"
#include "common/path_rules.h"
#include "common/update_error.h"
#include "platform/files.h"
#include "platform/input_file.h"
#include "platform/random.h"
#include "platform/remove_tree.h"
#include "platform/text.h"

namespace tessaryndle::release {
namespace {

namespace fs = std::filesystem;

constexpr int SCRATCH_ATTEMPTS = 8;

// A new directory below the temporary folder, removed with everything in it
// (links as links) at destruction.
class ScratchDirectory {
public:
    static std::expected<ScratchDirectory, std::string> create() {
        std::error_code ec;
        const fs::path temp = fs::temp_directory_path(ec);
        if (ec) return std::unexpected("no temporary folder: " + ec.message());
        for (int attempt = 0; attempt < SCRATCH_ATTEMPTS; ++attempt) {
            std::array<std::uint8_t, 12> random{};
            if (auto filled = platform::system_random_bytes(random); !filled) {
                return std::unexpected("system random source: " + filled.error().display());
            }
            std::string name = "tessaryndle-release-";
            for (const std::uint8_t byte : random) {
                name += "0123456789abcdef"[byte >> 4];
                name += "0123456789abcdef"[byte & 0x0f];
            }
            const fs::path path = temp / name;
            // create_directory reports an existing name as false: the
            // directory is ours only when this call made it.
            if (fs::create_directory(path, ec)) return ScratchDirectory(path);
            if (ec) return std::unexpected("cannot create " + path_display(path) + ": " + ec.message());
        }
        return std::unexpected("cannot create a scratch directory in " + path_display(temp));
    }
    ScratchDirectory(ScratchDirectory&& other) noexcept : path_(std::exchange(other.path_, {})) {}
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(ScratchDirectory&&) = delete;
    ~ScratchDirectory() {
        if (!path_.empty()) static_cast<void>(platform::remove_tree(path_));
    }
    [[nodiscard]] const fs::path& path() const { return path_; }

private:
    explicit ScratchDirectory(fs::path path) : path_(std::move(path)) {}
    fs::path path_;
};

std::string ascii_lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// Step 3 over the names as the archive stores them.
std::expected<void, std::string> check_windows_names(const fs::path& archive) {
    const auto file = platform::InputFile::open_no_follow(archive);
    if (!file) return std::unexpected(UpdateError::io(archive, file.error()).display());
    const auto records = agent::read_central_directory(*file);
    if (!records) return std::unexpected(UpdateError::invalid_artifact("open ZIP: " + records.error()).display());

    // Every directory and file the names make, by its case-folded form.
    std::map<std::string, std::string> seen;
    for (const agent::ZipEntryRecord& record : *records) {
        const auto enclosed = path_rules::enclosed_entry_path(record.name);
        if (!enclosed) return std::unexpected("archive contains unsafe path " + record.name);
        std::string prefix;
        for (const fs::path& component : *enclosed) {
            const std::string name = path_display(component);
            if (name.empty()) continue;
            if (!path_rules::is_stable_windows_name(name)) {
                return std::unexpected("archive entry " + record.name + " has the name \"" + name +
                                       "\", which Windows does not keep as it is");
            }
            prefix += prefix.empty() ? name : "/" + name;
            const auto [existing, inserted] = seen.emplace(ascii_lower(prefix), prefix);
            if (!inserted && existing->second != prefix) {
                return std::unexpected("archive entries " + existing->second + " and " + prefix +
                                       " differ only in letter case and are one file on Windows");
            }
        }
    }
    return {};
}

}  // namespace

std::expected<fs::path, std::string> check_update_archive(const fs::path& archive) {
    auto scratch = ScratchDirectory::create();
    if (!scratch) return std::unexpected(scratch.error());
    const fs::path extracted = scratch->path() / "Extracted";

    // 1. Exactly the worker's extraction and payload search.
    const auto payload = agent::extract_update_archive(archive, extracted, nullptr);
    if (!payload) return std::unexpected(payload.error().display());

    // 2. The worker's presence check of the new build, following links.
    for (const std::string_view name : {APPLICATION_EXECUTABLE, LAUNCHER_EXECUTABLE, UPDATER_AGENT_EXECUTABLE}) {
        const auto info = platform::file_info_follow(*payload / path_from_utf8(name));
        if (!info || !info->regular()) {
            return std::unexpected(
                UpdateError::invalid_artifact("Windows update is missing its application, launcher, or updater agent")
                    .display());
        }
    }

    // Names that Windows would not keep as written (device names, trailing
    // dots, names that differ only in letter case) would install differently
    // from what was checked here.
    if (auto names = check_windows_names(archive); !names) return std::unexpected(names.error());

    return path_rules::relative_to_prefix(*payload, extracted).value_or(fs::path());
}

}  // namespace tessaryndle::release
