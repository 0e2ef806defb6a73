#include "extraction/extract.h"

#include <zip.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/constants.h"
#include "common/path_rules.h"
#include "extraction/extract_entry_names.h"
#include "extraction/extract_platform.h"
#include "platform/ascii.h"
#include "platform/files.h"
#include "platform/input_file.h"
#include "platform/text.h"
#include "platform/tree_walk.h"

namespace tessaryndle::extraction {
namespace {

namespace fs = std::filesystem;

// Entry data goes from the decompressor to the file through this buffer;
// no entry is ever held in memory whole. 256 KiB rather than a few: fewer
// trips through libzip's layers and fewer writes (on a 256 MiB entry about
// 8 % less CPU time than with 8 KiB).
constexpr std::size_t COPY_BUFFER_BYTES = 256 * 1024;
constexpr std::uint8_t HOST_UNIX = 3;
constexpr std::uint32_t UNIX_LINK_BITS = 0xA000;
constexpr std::uint16_t ENCRYPTED_FLAG = 0x0001;
constexpr std::size_t PAYLOAD_SEARCH_DEPTH = 4;
// zlib's Z_DATA_ERROR, which libzip passes on with ZIP_ER_ZLIB.
constexpr int ZLIB_DATA_ERROR = -3;

struct ArchiveCloser {
    // Read-only: nothing to write back, so the archive is discarded.
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct EntryCloser {
    void operator()(zip_file_t* entry) const { zip_fclose(entry); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;
using Entry = std::unique_ptr<zip_file_t, EntryCloser>;

// libzip's own description of one of its error codes.
std::string zip_error_text(int code) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    return text;
}

bool is_symbolic_link(const ZipEntryRecord& entry) {
    return entry.external_attributes != 0 && entry.host_system == HOST_UNIX &&
           ((entry.external_attributes >> 16) & UNIX_LINK_BITS) == UNIX_LINK_BITS;
}

bool is_directory_name(std::string_view name) { return !name.empty() && path_rules::is_separator(name.back()); }

// Whether libzip's view of an entry is the one we read ourselves. Both read
// the same central directory unless the archive holds more than one that
// could be meant; then the two readers may disagree, and it is refused.
bool reader_agrees(zip_t* archive, zip_uint64_t index, const ZipEntryRecord& entry) {
    const char* raw = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
    // libzip turns a NUL in a stored name into a space; ours keep it.
    std::string expected = entry.reader_name;
    std::replace(expected.begin(), expected.end(), '\0', ' ');
    zip_uint8_t host = 0;
    zip_uint32_t attributes = 0;
    zip_stat_t stat;
    return raw != nullptr && expected == raw &&
           zip_file_get_external_attributes(archive, index, 0, &host, &attributes) == 0 && host == entry.host_system &&
           attributes == entry.external_attributes && zip_stat_index(archive, index, ZIP_FL_ENC_RAW, &stat) == 0 &&
           (stat.valid & ZIP_STAT_CRC) && stat.crc == entry.crc;
}

struct OpenArchive {
    std::unique_ptr<char[]> stream_buffer;  // destroyed after the archive
    Archive archive;
    std::vector<ZipEntryRecord> records;
};

// libzip's view of the open file, on a duplicate of our own handle or on a
// new open of the file (for a thread of its own).
Result<OpenArchive> open_libzip(const platform::InputFile& file, const fs::path& path,
                                SourcePosition position = SourcePosition::Shared) {
    auto source = archive_source(file, position);
    if (!source) return fail(UpdateError::io(path, source.error()));
    zip_error_t error;
    zip_error_init(&error);
    OpenArchive opened{
        std::move(source->stream_buffer), Archive(zip_open_from_source(source->source, ZIP_RDONLY, &error)), {}};
    if (!opened.archive) {
        const std::string text = zip_error_strerror(&error);
        zip_error_fini(&error);
        zip_source_free(source->source);
        return fail(UpdateError::invalid_artifact("open ZIP: " + text));
    }
    zip_error_fini(&error);
    return opened;
}

// Whether libzip reads every entry of `archive` as `records` says.
Result<void> check_agreement(zip_t* archive, const std::vector<ZipEntryRecord>& records) {
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    if (count < 0 || static_cast<std::size_t>(count) != records.size()) {
        return fail(UpdateError::invalid_artifact("open ZIP: " + zip_error_text(ZIP_ER_INCONS)));
    }
    for (std::size_t index = 0; index < records.size(); ++index) {
        if (!reader_agrees(archive, index, records[index])) {
            return fail(UpdateError::invalid_artifact("open ZIP: " + zip_error_text(ZIP_ER_INCONS) + ": entry " +
                                                      std::to_string(index) + " reads differently"));
        }
    }
    return {};
}

// Opens the central directory through libzip, on a duplicate of our own
// handle, and reads the entry records ourselves from the same open file.
Result<OpenArchive> open_archive(const platform::InputFile& file, const fs::path& path) {
    auto opened = open_libzip(file, path);
    if (!opened) return fail(opened.error());
    auto records = read_central_directory(file);
    if (!records) return fail(UpdateError::invalid_artifact("open ZIP: " + records.error()));
    if (auto agreed = check_agreement(opened->archive.get(), *records); !agreed) return fail(agreed.error());
    opened->records = std::move(*records);
    return std::move(*opened);
}

struct OpenEntry {
    Entry data;
    zip_uint64_t size = 0;  // uncompressed, as the central directory says
};

// The entry's local header and decompressor. Encryption and methods other
// than stored and Deflate are refused here, before libzip would try them.
Result<OpenEntry> open_entry(zip_t* archive, zip_uint64_t index, const ZipEntryRecord& record) {
    const auto refuse = [](std::string text) { return fail(UpdateError::invalid_artifact("read ZIP entry: " + text)); };
    zip_stat_t stat;
    if (zip_stat_index(archive, index, 0, &stat) != 0) return refuse(zip_strerror(archive));
    const bool encrypted = (record.flags & ENCRYPTED_FLAG) != 0 ||
                           ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE);
    if (encrypted) return refuse(zip_error_text(ZIP_ER_ENCRNOTSUPP));
    if (!(stat.valid & ZIP_STAT_COMP_METHOD) ||
        (stat.comp_method != ZIP_CM_STORE && stat.comp_method != ZIP_CM_DEFLATE)) {
        return refuse(zip_error_text(ZIP_ER_COMPNOTSUPP));
    }
    Entry entry(zip_fopen_index(archive, index, 0));
    if (!entry) return refuse(zip_strerror(archive));
    return OpenEntry{std::move(entry), (stat.valid & ZIP_STAT_SIZE) ? stat.size : 0};
}

// The description of a failed read of entry data, as the Io error shows it.
OsError read_error(zip_file_t* entry) {
    zip_error_t* error = zip_file_get_error(entry);
    switch (zip_error_code_zip(error)) {
        case ZIP_ER_CRC: return OsError::custom("Invalid checksum");
        case ZIP_ER_COMPRESSED_DATA: return OsError::custom("corrupt deflate stream");
        case ZIP_ER_ZLIB:
            if (zip_error_code_system(error) == ZLIB_DATA_ERROR) return OsError::custom("corrupt deflate stream");
            break;
        default: break;
    }
    return OsError::custom(zip_file_strerror(entry));
}

// Copies the entry's data into `output`. libzip checks the CRC-32 only when
// a read finds the end of the data, and reports a failure only on the read
// after the one that returned the last bytes: so reading goes on until
// zip_fread returns 0 (the end, checked) or -1 (the failure).
Result<void> copy_entry(const OpenEntry& entry, const ZipEntryRecord& record, platform::OutputFile& output,
                        const fs::path& target, std::span<char> buffer) {
    zip_uint64_t copied = 0;
    for (;;) {
        const zip_int64_t read = zip_fread(entry.data.get(), buffer.data(), buffer.size());
        if (read < 0) return fail(UpdateError::io(target, read_error(entry.data.get())));
        if (read == 0) break;
        if (auto written = output.write_all(std::string_view(buffer.data(), static_cast<std::size_t>(read)));
            !written) {
            return fail(UpdateError::io(target, written.error()));
        }
        copied += static_cast<zip_uint64_t>(read);
    }
    // libzip hands out an entry without compressed data as empty without
    // any check; the CRC-32 of nothing is 0.
    if (copied == 0 && record.crc != 0) return fail(UpdateError::io(target, OsError::custom("Invalid checksum")));
    if (copied != entry.size) return fail(UpdateError::io(target, OsError::custom(zip_error_text(ZIP_ER_INCONS))));
    return {};
}

bool is_application_name(std::string_view name) {
    return platform::equals_ignoring_ascii_case(name, APPLICATION_EXECUTABLE);
}

// The destination, which must then be a real directory: everything below it
// is created without following links, starting from it.
Result<void> prepare_destination(const fs::path& destination) {
    if (auto made = platform::create_directories(destination); !made) {
        return fail(UpdateError::io(destination, made.error()));
    }
    if (auto checked = platform::create_directories_below(destination, fs::path()); !checked) {
        return fail(UpdateError::io(destination, checked.error()));
    }
    return {};
}

// One entry of the archive below the prepared destination. `ready_parent`
// is the parent directory of the last file this caller wrote, already
// checked or created: files of one directory usually follow each other.
Result<void> extract_entry(zip_t* archive, std::size_t index, const ZipEntryRecord& record, const fs::path& destination,
                           std::span<char> buffer, std::optional<fs::path>& ready_parent) {
    auto entry = open_entry(archive, index, record);
    if (!entry) return fail(entry.error());

    const auto enclosed = path_rules::enclosed_entry_path(record.name);
    if (!enclosed) return fail(UpdateError::invalid_artifact("archive contains unsafe path " + record.name));
    if (is_symbolic_link(record)) {
        return fail(UpdateError::invalid_artifact("Windows update archive contains a symbolic link"));
    }
    const fs::path target = destination / *enclosed;

    if (is_directory_name(record.name)) {
        if (auto made = platform::create_directories_below(destination, *enclosed); !made) {
            return fail(UpdateError::io(target, made.error()));
        }
        return {};
    }
    const fs::path parent = enclosed->parent_path();
    if (parent != ready_parent) {
        if (auto made = platform::create_directories_below(destination, parent); !made) {
            return fail(UpdateError::io(parent.empty() ? destination : destination / parent, made.error()));
        }
        ready_parent = parent;
    }
    auto output = platform::OutputFile::create_truncate_no_follow(target);
    if (!output) return fail(UpdateError::io(target, output.error()));
    if (auto copied = copy_entry(*entry, record, *output, target, buffer); !copied) return fail(copied.error());
    // Whoever installs the build flushes it before making it current; the
    // disk can start on it now, while the next entries are inflated, so that
    // the flush later finds little left to write.
    output->start_write_back();
    return {};
}

// Whether the entries may be written in any order, on several threads, with
// the very result of writing them one after the other: every name is plain
// (ASCII letters, digits, " ", "+", "-", "_", "." and "/" between
// components, no component ending in a dot or a space, which Windows trims,
// and no "~", which could be another file's short name), no entry is a link,
// and no two entries meet: none names a file that another entry also names,
// or needs as a directory, compared ignoring ASCII letter case as Windows
// does. Any other archive, a hostile one among them, is written in order,
// so that its refusal and what is left on disk stay as they always were.
bool entries_are_independent(const std::vector<ZipEntryRecord>& records) {
    const auto plain = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' || c == '+' ||
               c == '-' || c == '_' || c == '.' || c == '/';
    };
    std::unordered_set<std::string> files;
    std::unordered_set<std::string> directories;
    for (const ZipEntryRecord& record : records) {
        std::string key = record.name;
        for (std::size_t i = 0; i < key.size(); ++i) {
            if (!plain(key[i])) return false;
            const bool component_end = i + 1 == key.size() || key[i + 1] == '/';
            if (component_end && key[i] != '/' && (key[i] == '.' || key[i] == ' ')) return false;
            if (key[i] >= 'A' && key[i] <= 'Z') key[i] = static_cast<char>(key[i] - 'A' + 'a');
        }
        if (is_symbolic_link(record) || !path_rules::enclosed_entry_path(record.name)) return false;
        const bool directory = is_directory_name(key);
        while (!key.empty() && key.back() == '/') key.pop_back();
        if (key.empty() || key.front() == '/' || key.find("//") != std::string::npos) return false;
        if (directory) {
            directories.insert(key);
        } else if (!files.insert(key).second) {
            return false;
        }
        for (auto slash = key.rfind('/'); slash != std::string::npos; slash = key.rfind('/', slash - 1)) {
            directories.insert(key.substr(0, slash));
            if (slash == 0) break;
        }
    }
    for (const std::string& file : files) {
        if (directories.contains(file)) return false;
    }
    return true;
}

// Below this many entries a second thread saves less than it costs.
constexpr std::size_t PARALLEL_MINIMUM_ENTRIES = 64;
constexpr unsigned MAXIMUM_EXTRACTING_THREADS = 4;

// The entries handed out in central-directory order to whichever thread is
// free; once one fails, no later entry is started, and the failure of the
// earliest failed entry is the outcome, as it is when they are written in
// order (every earlier entry has been handed out and is finished first).
class EntryQueue {
public:
    explicit EntryQueue(std::size_t count) : end_(count) {}

    std::optional<std::size_t> next() {
        const std::size_t index = next_.fetch_add(1, std::memory_order_relaxed);
        if (index >= end_.load(std::memory_order_acquire)) return std::nullopt;
        return index;
    }
    void failed(std::size_t index, UpdateError error) {
        const std::lock_guard lock(mutex_);
        if (failure_ && failure_->first < index) return;
        failure_.emplace(index, std::move(error));
        end_.store(index, std::memory_order_release);
    }
    Result<void> outcome() {
        if (failure_) return fail(std::move(failure_->second));
        return {};
    }

private:
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> end_;
    std::mutex mutex_;
    std::optional<std::pair<std::size_t, UpdateError>> failure_;
};

// Writes the entries that `queue` hands out through `archive`, a libzip
// handle of this thread's own.
void extract_from_queue(zip_t* archive, const std::vector<ZipEntryRecord>& records, const fs::path& destination,
                        const std::shared_ptr<const std::atomic<bool>>& cancel, EntryQueue& queue) {
    // Left uninitialised: it is always written before it is read, and an
    // archive of small files touches only the first pages of it.
    const auto buffer_storage = std::make_unique_for_overwrite<char[]>(COPY_BUFFER_BYTES);
    const std::span<char> buffer(buffer_storage.get(), COPY_BUFFER_BYTES);
    std::optional<fs::path> ready_parent;
    while (const auto index = queue.next()) {
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            queue.failed(*index, UpdateError::cancelled());
            return;
        }
        if (auto written = extract_entry(archive, *index, records[*index], destination, buffer, ready_parent);
            !written) {
            queue.failed(*index, std::move(written.error()));
            return;
        }
    }
}

// Every entry of the open archive below the prepared destination.
Result<fs::path> extract_entries(const platform::InputFile& file, const fs::path& archive_path,
                                 const fs::path& destination, const std::shared_ptr<const std::atomic<bool>>& cancel) {
    // The one open archive, read by libzip and by us.
    auto opened = open_archive(file, archive_path);
    if (!opened) return fail(opened.error());
    const std::vector<ZipEntryRecord>& records = opened->records;

    // Inflating is most of extraction's work, and one thread does it on one
    // core: with independent entries, further threads each inflate whole
    // entries into their own files through a libzip handle of their own
    // (libzip's handles are not shared between threads), checked like the
    // first to read every entry alike. A handle that cannot be had leaves
    // the work to the threads that have one.
    std::vector<OpenArchive> helpers;
    if (records.size() >= PARALLEL_MINIMUM_ENTRIES && entries_are_independent(records)) {
        const unsigned cores = std::min(std::thread::hardware_concurrency(), MAXIMUM_EXTRACTING_THREADS);
        for (unsigned i = 1; i < cores; ++i) {
            auto helper = open_libzip(file, archive_path, SourcePosition::Own);
            if (!helper || !check_agreement(helper->archive.get(), records)) break;
            helpers.push_back(std::move(*helper));
        }
    }
    EntryQueue queue(records.size());
    {
        std::vector<std::jthread> threads;
        for (OpenArchive& helper : helpers) {
            try {
                threads.emplace_back([&, archive = helper.archive.get()] {
                    extract_from_queue(archive, records, destination, cancel, queue);
                });
            } catch (const std::system_error&) {
                break;
            }
        }
        extract_from_queue(opened->archive.get(), records, destination, cancel, queue);
    }  // every thread has ended here
    if (auto written = queue.outcome(); !written) return fail(written.error());

    // Every entry is written: now find where the payload lies.
    return find_payload_root(destination);
}

}  // namespace

Result<fs::path> extract_update_archive(const fs::path& archive_path, const fs::path& destination,
                                        std::shared_ptr<const std::atomic<bool>> cancel) {
    if (auto prepared = prepare_destination(destination); !prepared) return fail(prepared.error());
    const auto file = platform::InputFile::open_no_follow(archive_path);
    if (!file) return fail(UpdateError::io(archive_path, file.error()));
    return extract_entries(*file, archive_path, destination, cancel);
}

Result<fs::path> extract_update_archive(const platform::InputFile& archive, const fs::path& archive_path,
                                        const fs::path& destination, std::shared_ptr<const std::atomic<bool>> cancel) {
    if (auto prepared = prepare_destination(destination); !prepared) return fail(prepared.error());
    return extract_entries(archive, archive_path, destination, cancel);
}

Result<fs::path> find_payload_root(const fs::path& destination) {
    platform::TreeWalk walk(destination, PAYLOAD_SEARCH_DEPTH);
    while (auto next = walk.next()) {
        if (!*next) return fail(UpdateError::invalid_artifact(next->error().description()));
        const platform::WalkEntry& entry = **next;
        if (entry.depth == 0 || entry.kind != platform::EntryKind::File) continue;
        if (is_application_name(native_lossy(entry.path.filename().native()))) return entry.path.parent_path();
    }
    return fail(UpdateError::application_not_found(destination));
}

}  // namespace tessaryndle::extraction
