#include "client/download.h"
#include "extraction/extract.h"
#include "platform/files.h"
#include "platform/input_file.h"
#include "platform/mapped_file.h"
#include "platform/remove_tree.h"

namespace tessaryndle::client {

Result<std::filesystem::path> unpack_update(const UpdateSession& session, const std::filesystem::path& archive,
                                            const FeedArtifact& artifact, std::string_view public_key,
                                            std::shared_ptr<const std::atomic<bool>> cancel) {
    // 1. One open file is checked and extracted: a file swapped in after
    //    the check cannot be the one unpacked.
    const auto file = platform::InputFile::open_no_follow(archive);
    if (!file) return fail(UpdateError::io(archive, file.error()));
    const auto size = file->size();
    if (!size) return fail(UpdateError::io(archive, size.error()));
    if (*size == 0) {
        if (auto checked = check_archive_bytes({}, artifact, public_key); !checked) return fail(checked.error());
    } else {
        const auto mapped = platform::MappedFile::map(*file);
        if (!mapped) return fail(UpdateError::io(archive, mapped.error()));
        if (auto checked = check_archive_bytes(mapped->bytes(), artifact, public_key); !checked) {
            return fail(checked.error());
        }
    }

    // 2. A staging directory of an earlier attempt may hold files this
    //    archive does not have; the new build must be this archive alone.
    const std::filesystem::path staging = session.staging_directory();
    if (platform::file_info_no_follow(staging)) {
        if (auto removed = platform::remove_tree(staging); !removed) {
            return fail(UpdateError::io(staging, removed.error()));
        }
    }

    // 3. The worker's own extraction, refusals and texts included.
    return extraction::extract_update_archive(*file, archive, staging, std::move(cancel));
}

}  // namespace tessaryndle::client
