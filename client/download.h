#pragma once
// Downloading the offered archive into the update session, resumably,
// checking it before anything else looks at it, and unpacking it for the
// agent.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

#include "client/updater_client.h"
#include "common/release_feed.h"
#include "common/update_error.h"

namespace tessaryndle::client {

// Names inside a session directory: the archive while it arrives, and once
// it has been checked.
inline constexpr std::string_view PARTIAL_ARCHIVE_FILE_NAME = "update.zip.part";
inline constexpr std::string_view ARCHIVE_FILE_NAME = "update.zip";

// Called after every piece written, with the bytes the file holds and the
// archive's content_length.
using DownloadProgress = std::function<void(std::uint64_t received, std::uint64_t total)>;

struct DownloadOptions {
    DownloadProgress progress;                        // may be empty
    std::shared_ptr<const std::atomic<bool>> cancel;  // may be null; set from any thread to stop
};

// Downloads `artifact` into `session`'s directory and returns the checked
// archive's path (ARCHIVE_FILE_NAME there).
// 1. The bytes go to PARTIAL_ARCHIVE_FILE_NAME. A partial file already there
//    (an interrupted download, or one of an earlier run of the application
//    that reopened the session) is continued with a range request from its
//    length; a server that answers with the whole file instead starts it
//    again. Nothing beyond artifact.content_length is ever written: a server
//    that announces or sends more fails with InvalidArtifact "the server
//    sent more than the {n} bytes the feed names".
// 2. The transfer: fetch() of artifact.url, so only https (or http to the
//    loopback address), redirects checked the same way. An HTTP status
//    other than 200 or 206 fails with Network "HTTP status {n} from {url}";
//    a broken connection fails with Network and keeps the partial file for
//    the next call to resume; `cancel` gives Cancelled, the partial file
//    kept.
// 3. The whole file is checked: its length ("the download has {n} bytes, the
//    feed names {m}"), its SHA-256 ("the download's SHA-256 digest does not
//    match the feed"), both InvalidArtifact, and the release key's Ed25519
//    signature over it (InvalidSignature "the downloaded archive is not
//    signed by the release key"). A download that fails a check, or whose
//    server answered a range request with another range or another total,
//    is deleted: the next call starts afresh.
// 4. It is renamed to ARCHIVE_FILE_NAME.
// Failure of a file operation: Io at the file.
[[nodiscard]] Result<std::filesystem::path> download_update(const UpdateSession& session, const FeedArtifact& artifact,
                                                            std::string_view public_key,
                                                            const DownloadOptions& options = {});

// The checks of a complete archive, on its bytes: length, SHA-256 and the
// release key's signature, with the texts download_update gives them.
[[nodiscard]] Result<void> check_archive_bytes(std::span<const std::uint8_t> bytes, const FeedArtifact& artifact,
                                               std::string_view public_key);

// Unpacks the downloaded archive into `session`'s staging directory with the
// agent's own extraction, and returns the directory that holds the new
// build (the install plan's "install_source").
// 1. The archive is opened once, without following a final link (Io at it),
//    checked on that handle with check_archive_bytes (so a file changed
//    since the download is refused), and extracted from the same handle:
//    what is unpacked is what was checked.
// 2. Whatever an earlier attempt left in the staging directory is removed
//    first (links inside it removed as entries, never followed): Io at the
//    staging directory.
// 3. Extraction refuses what the agent's elevated worker refuses, with its
//    texts (an unsafe entry name, a symbolic link, an encrypted entry, no
//    "tessaryndle-app.exe" within four levels, ...); `cancel` gives
//    Cancelled between entries. What was extracted before a failure stays.
[[nodiscard]] Result<std::filesystem::path> unpack_update(const UpdateSession& session,
                                                          const std::filesystem::path& archive,
                                                          const FeedArtifact& artifact, std::string_view public_key,
                                                          std::shared_ptr<const std::atomic<bool>> cancel = nullptr);

}  // namespace tessaryndle::client
