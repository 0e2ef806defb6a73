#include "tools/release/archive_check.h"

#include <algorithm>
#include <array>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "common/constants.h"
#include "common/path_rules.h"
#include "common/update_error.h"
#include "extraction/extract.h"
#include "extraction/extract_entry_names.h"
#include "platform/ascii.h"
#include "platform/files.h"
#include "platform/input_file.h"
#include "platform/random.h"
#include "platform/remove_tree.h"
#include "platform/text.h"

namespace tessaryndle::release {
namespace {

namespace fs = std::filesystem;

constexpr int SCRATCH_ATTEMPTS = 8;
// The copy is written in pieces of this size, through one buffer.
constexpr std::uint64_t COPY_PIECE_BYTES = 1 << 20;

using platform::ascii_lowercase;

// Step 3 over the names as the archive stores them.
std::expected<void, std::string> check_windows_names(const platform::InputFile& archive) {
    const auto records = extraction::read_central_directory(archive);
    if (!records) return std::unexpected(UpdateError::invalid_artifact("open ZIP: " + records.error()).display());

    // Every directory and file the names make, by its case-folded form.
    std::map<std::string, std::string> seen;
    for (const extraction::ZipEntryRecord& record : *records) {
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
            const auto [existing, inserted] = seen.emplace(ascii_lowercase(prefix), prefix);
            if (!inserted && existing->second != prefix) {
                return std::unexpected("archive entries " + existing->second + " and " + prefix +
                                       " differ only in letter case and are one file on Windows");
            }
        }
    }
    return {};
}

}  // namespace

std::expected<ScratchDirectory, std::string> ScratchDirectory::create() {
    std::error_code ec;
    const fs::path temp = fs::temp_directory_path(ec);
    if (ec) return std::unexpected("no temporary folder: " + ec.message());
    for (int attempt = 0; attempt < SCRATCH_ATTEMPTS; ++attempt) {
        std::array<std::uint8_t, 12> random{};
        if (auto filled = platform::system_random_bytes(random); !filled) {
            return std::unexpected("system random source: " + filled.error().display());
        }
        std::string name = "tessaryndle-release-";
        name += platform::lowercase_hex(random);
        const fs::path path = temp / name;
        // create_directory reports an existing name as false: the directory
        // is ours only when this call made it.
        if (fs::create_directory(path, ec)) return ScratchDirectory(path);
        if (ec) return std::unexpected("cannot create " + path_display(path) + ": " + ec.message());
    }
    return std::unexpected("cannot create a scratch directory in " + path_display(temp));
}

ScratchDirectory::ScratchDirectory(ScratchDirectory&& other) noexcept : path_(std::exchange(other.path_, {})) {}

ScratchDirectory::~ScratchDirectory() {
    if (!path_.empty()) static_cast<void>(platform::remove_tree(path_));
}

std::expected<ArchiveCopy, std::string> ArchiveCopy::take(const fs::path& archive) {
    auto scratch = ScratchDirectory::create();
    if (!scratch) return std::unexpected(scratch.error());
    const auto io_error = [](const fs::path& path, const OsError& error) {
        return std::unexpected(UpdateError::io(path, error).display());
    };

    // 1. The one open and the one read of the original, from start to end.
    //    A file that grows meanwhile is taken at the size it had; one that
    //    shrinks fails the read.
    const auto source = platform::InputFile::open_no_follow(archive);
    if (!source) return io_error(archive, source.error());
    const auto size = source->size();
    if (!size) return io_error(archive, size.error());
    const fs::path copy_path = scratch->path() / "archive.zip";
    auto output = platform::OutputFile::create_new(copy_path);
    if (!output) return io_error(copy_path, output.error());
    std::vector<std::uint8_t> piece(static_cast<std::size_t>(std::min(*size, COPY_PIECE_BYTES)));
    for (std::uint64_t offset = 0; offset < *size; offset += piece.size()) {
        const auto length = static_cast<std::size_t>(std::min(*size - offset, COPY_PIECE_BYTES));
        const std::span<std::uint8_t> part(piece.data(), length);
        if (auto read = source->read_exact_at(offset, part); !read) return io_error(archive, read.error());
        const std::string_view text(reinterpret_cast<const char*>(part.data()), part.size());
        if (auto written = output->write_all(text); !written) return io_error(copy_path, written.error());
    }
    output->close();

    // 2. From here on only the copy, in the tool's own directory.
    auto file = platform::InputFile::open_no_follow(copy_path);
    if (!file) return io_error(copy_path, file.error());
    std::optional<platform::MappedFile> mapping;
    if (*size > 0) {
        auto mapped = platform::MappedFile::map(*file);
        if (!mapped) return io_error(copy_path, mapped.error());
        mapping.emplace(std::move(*mapped));
    }
    return ArchiveCopy(archive, std::move(*scratch), std::move(*file), std::move(mapping));
}

std::span<const std::uint8_t> ArchiveCopy::bytes() const {
    if (!mapping_) return {};
    return mapping_->bytes();
}

std::expected<fs::path, std::string> ArchiveCopy::check() const {
    const fs::path extracted = scratch_.path() / "Extracted";

    // 1. Exactly the worker's extraction and payload search.
    const auto payload = extraction::extract_update_archive(file_, archive_, extracted, nullptr);
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
    if (auto names = check_windows_names(file_); !names) return std::unexpected(names.error());

    return path_rules::relative_to_prefix(*payload, extracted).value_or(fs::path());
}

}  // namespace tessaryndle::release
