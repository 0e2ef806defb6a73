#include "platform/files.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>
#include <vector>

namespace tessaryndle::platform {
namespace {

// Enough flushes in flight for the disk to serve many with each wait; more
// only adds threads that wait on the same commit.
constexpr std::size_t FLUSH_THREADS = 16;

}  // namespace

std::expected<void, FlushFailure> flush_entries(std::span<const std::filesystem::path> paths) {
    std::vector<std::optional<OsError>> errors(paths.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    const auto flush_some = [&] {
        for (std::size_t index; !failed.load(std::memory_order_relaxed) &&
                                (index = next.fetch_add(1, std::memory_order_relaxed)) < paths.size();) {
            if (auto flushed = flush_entry(paths[index]); !flushed) {
                errors[index] = flushed.error();
                failed.store(true, std::memory_order_relaxed);
            }
        }
    };
    {
        std::vector<std::jthread> pool;
        const std::size_t helpers = std::min(FLUSH_THREADS, paths.size()) - std::min<std::size_t>(paths.size(), 1);
        for (std::size_t i = 0; i < helpers; ++i) pool.emplace_back(flush_some);
        flush_some();
    }  // every helper has ended here
    for (std::size_t index = 0; index < errors.size(); ++index) {
        if (errors[index]) return std::unexpected(FlushFailure{index, std::move(*errors[index])});
    }
    return {};
}

OsResult<void> write_whole_file(const std::filesystem::path& path, std::string_view bytes) {
    auto file = OutputFile::create_truncate(path);
    if (!file) return std::unexpected(file.error());
    return file->write_all(bytes);
}

std::expected<void, ReplaceFailure> replace_file_contents(const std::filesystem::path& target,
                                                          const std::filesystem::path& temporary,
                                                          std::string_view bytes, ExistingTemporary existing,
                                                          RenameKind rename) {
    const auto failed = [](ReplaceFailure::Stage stage, OsError error) {
        return std::unexpected(ReplaceFailure{stage, std::move(error)});
    };
    if (existing == ExistingTemporary::Remove) {
        if (auto removed = remove_entry(temporary); !removed) {
            return failed(ReplaceFailure::Stage::Temporary, removed.error());
        }
    }
    auto file = OutputFile::create_new(temporary);
    if (!file) return failed(ReplaceFailure::Stage::Temporary, file.error());
    // The content must be on disk before the rename makes it visible.
    if (auto written = file->write_all(bytes); !written) {
        return failed(ReplaceFailure::Stage::Temporary, written.error());
    }
    auto flushed = file->flush();
    file->close();
    if (!flushed) return failed(ReplaceFailure::Stage::Temporary, flushed.error());

    auto renamed = rename == RenameKind::WriteThrough ? rename_replace_write_through(temporary, target)
                                                      : rename_replace(temporary, target);
    if (!renamed) return failed(ReplaceFailure::Stage::Rename, renamed.error());
    return {};
}

}  // namespace tessaryndle::platform
