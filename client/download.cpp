#include "client/download.h"

#include <sodium.h>

#include <array>
#include <charconv>
#include <optional>
#include <string>

#include "client/fetch_url.h"
#include "client/release_signature.h"
#include "platform/files.h"
#include "platform/mapped_file.h"
#include "platform/text.h"

namespace tessaryndle::client {
namespace {

namespace fs = std::filesystem;

std::optional<std::uint64_t> parse_decimal(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::optional<std::uint64_t> total;  // nullopt for "*"
};

// "bytes FIRST-LAST/TOTAL" or "bytes FIRST-LAST/*".
std::optional<ContentRange> parse_content_range(std::string_view text) {
    if (!text.starts_with("bytes ")) return std::nullopt;
    text.remove_prefix(6);
    const auto dash = text.find('-');
    const auto slash = text.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash) return std::nullopt;
    const auto first = parse_decimal(text.substr(0, dash));
    const auto last = parse_decimal(text.substr(dash + 1, slash - dash - 1));
    if (!first || !last || *last < *first) return std::nullopt;
    ContentRange range{*first, *last, std::nullopt};
    if (text.substr(slash + 1) != "*") {
        range.total = parse_decimal(text.substr(slash + 1));
        if (!range.total) return std::nullopt;
    }
    return range;
}

std::string lowercase_hex(std::span<const std::uint8_t> bytes) {
    constexpr std::string_view digits = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0f];
    }
    return text;
}

// Writes the answer to the partial file, never past the archive's length.
class ArchiveReceiver final : public HttpReceiver {
public:
    ArchiveReceiver(fs::path partial, platform::OutputFile file, std::uint64_t have, const FeedArtifact& artifact,
                    const DownloadOptions& options)
        : partial_(std::move(partial)), file_(std::move(file)), have_(have), artifact_(artifact), options_(options) {}

    bool head(const HttpResponseHead& head) override {
        const std::uint64_t total = artifact_.content_length;
        if (head.status == 200 && have_ > 0) {
            // The server ignored the range: the whole file comes again.
            auto restarted = platform::OutputFile::open_append_no_follow(partial_, 0);
            if (!restarted) return stop(UpdateError::io(partial_, restarted.error()), false);
            file_ = std::move(restarted->first);
            have_ = 0;
        } else if (head.status == 206) {
            const auto range = head.content_range ? parse_content_range(*head.content_range) : std::nullopt;
            if (!range || range->first != have_ || (range->total && *range->total != total)) {
                return stop(UpdateError::invalid_artifact("the server answered the range request from byte " +
                                                          std::to_string(have_) + " with " +
                                                          head.content_range.value_or("no Content-Range")),
                            true);
            }
        } else if (head.status != 200) {
            status_ = head.status;
            return false;
        }
        if (head.content_length && *head.content_length > total - have_) return stop(too_much(), true);
        report();
        return true;
    }

    bool body(std::span<const std::uint8_t> bytes) override {
        if (bytes.size() > artifact_.content_length - have_) return stop(too_much(), true);
        if (auto written = file_.write_all(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
            !written) {
            return stop(UpdateError::io(partial_, written.error()), false);
        }
        have_ += bytes.size();
        report();
        return !(options_.cancel && options_.cancel->load());
    }

    [[nodiscard]] std::uint64_t have() const { return have_; }
    void close() { file_.close(); }

    int status_ = 0;                     // an HTTP status that is no answer to a download
    std::optional<UpdateError> failure;  // why the receiver stopped the transfer
    bool delete_partial = false;         // whether what arrived can never become the archive

private:
    UpdateError too_much() const {
        return UpdateError::invalid_artifact("the server sent more than the " +
                                             std::to_string(artifact_.content_length) + " bytes the feed names");
    }
    bool stop(UpdateError error, bool discard) {
        failure = std::move(error);
        delete_partial = discard;
        return false;
    }
    void report() const {
        if (options_.progress) options_.progress(have_, artifact_.content_length);
    }

    fs::path partial_;
    platform::OutputFile file_;
    std::uint64_t have_ = 0;
    const FeedArtifact& artifact_;
    const DownloadOptions& options_;
};

// Length, digest and signature of the complete partial file.
Result<void> check_archive(const fs::path& partial, const FeedArtifact& artifact, std::string_view public_key) {
    const auto info = platform::file_info_no_follow(partial);
    if (!info) return fail(UpdateError::io(partial, info.error()));
    // An empty file cannot be mapped; its length is wrong all the same.
    if (info->size == 0) return check_archive_bytes({}, artifact, public_key);
    const auto mapped = platform::MappedFile::open(partial);
    if (!mapped) return fail(UpdateError::io(partial, mapped.error()));
    return check_archive_bytes(mapped->bytes(), artifact, public_key);
}

}  // namespace

Result<void> check_archive_bytes(std::span<const std::uint8_t> bytes, const FeedArtifact& artifact,
                                 std::string_view public_key) {
    if (bytes.size() != artifact.content_length) {
        return fail(UpdateError::invalid_artifact("the download has " + std::to_string(bytes.size()) +
                                                  " bytes, the feed names " + std::to_string(artifact.content_length)));
    }
    std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256(digest.data(), bytes.data(), bytes.size());
    if (lowercase_hex(digest) != artifact.sha256) {
        return fail(UpdateError::invalid_artifact("the download's SHA-256 digest does not match the feed"));
    }
    return verify_release_signature(public_key, artifact.ed25519_signature, bytes, "the downloaded archive");
}

Result<fs::path> download_update(const UpdateSession& session, const FeedArtifact& artifact,
                                 std::string_view public_key, const DownloadOptions& options) {
    const fs::path partial = session.directory() / path_from_utf8(PARTIAL_ARCHIVE_FILE_NAME);
    const fs::path archive = session.directory() / path_from_utf8(ARCHIVE_FILE_NAME);
    const auto discard = [&](UpdateError error) -> Result<fs::path> {
        (void)platform::remove_entry(partial);
        return fail(std::move(error));
    };

    // 1. Continue what an earlier call left; a file longer than the archive
    //    cannot be a part of it and is cut to nothing.
    auto opened = platform::OutputFile::open_append_no_follow(partial, artifact.content_length);
    if (!opened) return fail(UpdateError::io(partial, opened.error()));
    // A part as long as the archive (its check was interrupted) is only checked.
    if (opened->second < artifact.content_length) {
        const std::uint64_t have = opened->second;
        if (options.progress) options.progress(have, artifact.content_length);
        ArchiveReceiver receiver(partial, std::move(opened->first), have, artifact, options);
        const std::optional<std::uint64_t> range = have > 0 ? std::optional<std::uint64_t>(have) : std::nullopt;
        // 2. The transfer. A part that is still empty is not kept for later.
        const auto ended = fetch(artifact.url, range, receiver, options.cancel.get());
        receiver.close();
        const auto stopped = [&](UpdateError error) -> Result<fs::path> {
            if (receiver.delete_partial || receiver.have() == 0) return discard(std::move(error));
            return fail(std::move(error));
        };
        if (receiver.failure) return stopped(*receiver.failure);
        if (!ended) return stopped(ended.error());
        if (options.cancel && options.cancel->load()) return stopped(UpdateError::cancelled());
        if (receiver.status_ != 0) {
            return stopped(
                UpdateError::network("HTTP status " + std::to_string(receiver.status_) + " from " + artifact.url));
        }
    }
    if (auto flushed = platform::flush_entry(partial); !flushed) return fail(UpdateError::io(partial, flushed.error()));

    // 3. Whatever arrived is judged whole; a bad archive never stays to be
    //    resumed.
    if (auto checked = check_archive(partial, artifact, public_key); !checked) return discard(checked.error());

    // 4. Under its final name only once it is known to be the release.
    if (auto renamed = platform::rename_replace(partial, archive); !renamed) {
        return fail(UpdateError::io(archive, renamed.error()));
    }
    return archive;
}

}  // namespace tessaryndle::client
