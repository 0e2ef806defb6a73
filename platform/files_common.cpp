#include "platform/files.h"

namespace tessaryndle::platform {

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
