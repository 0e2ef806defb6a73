#include "extraction/extract_entry_names.h"

#include <algorithm>
#include <array>
#include <optional>

#include "platform/text.h"

namespace tessaryndle::extraction {
namespace {

constexpr std::uint32_t END_OF_DIRECTORY_SIGNATURE = 0x06054b50;
constexpr std::uint32_t ZIP64_LOCATOR_SIGNATURE = 0x07064b50;
constexpr std::uint32_t ZIP64_END_OF_DIRECTORY_SIGNATURE = 0x06064b50;
constexpr std::uint32_t DIRECTORY_ENTRY_SIGNATURE = 0x02014b50;
constexpr std::size_t END_OF_DIRECTORY_BYTES = 22;
constexpr std::size_t ZIP64_LOCATOR_BYTES = 20;
constexpr std::size_t ZIP64_END_OF_DIRECTORY_BYTES = 56;
constexpr std::size_t DIRECTORY_ENTRY_BYTES = 46;
constexpr std::size_t MAX_COMMENT_BYTES = 0xffff;
constexpr std::uint16_t UNICODE_PATH_FIELD = 0x7075;
constexpr std::uint16_t UTF8_NAME_FLAG = 0x0800;

using Bytes = std::vector<std::uint8_t>;
using Failure = std::unexpected<std::string>;

// A directory that does not parse, so that another end record may be
// tried; a name fault in a directory that does parse ends the search.
struct ParseFailure {
    std::string text;
    bool structural = false;
};

std::uint16_t u16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t u32(const std::uint8_t* p) { return u16(p) | (static_cast<std::uint32_t>(u16(p + 2)) << 16); }
std::uint64_t u64(const std::uint8_t* p) { return u32(p) | (static_cast<std::uint64_t>(u32(p + 4)) << 32); }

// CRC-32 (ISO-HDLC, the ZIP polynomial) of a name; names are short.
std::uint32_t crc32(std::string_view bytes) {
    std::uint32_t crc = 0xffffffffu;
    for (const char c : bytes) {
        crc ^= static_cast<std::uint8_t>(c);
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// The upper half of code page 437.
constexpr std::array<char16_t, 128> CP437_HIGH = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

struct DirectoryLocation {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t entries = 0;
    bool zip64 = false;
};

std::expected<Bytes, std::string> read_bytes(const platform::InputFile& archive, std::uint64_t offset,
                                             std::uint64_t count) {
    Bytes bytes(static_cast<std::size_t>(count));
    if (auto read = archive.read_exact_at(offset, bytes); !read) return Failure(read.error().display());
    return bytes;
}

// Where the central directory lies according to the end record at
// `end_offset`; nullopt when the record and its ZIP64 companions do not
// describe a directory that ends before them.
std::optional<DirectoryLocation> locate_directory(const platform::InputFile& archive, const Bytes& tail, std::size_t at,
                                                  std::uint64_t end_offset) {
    DirectoryLocation location{u32(&tail[at + 16]), u32(&tail[at + 12]), u16(&tail[at + 10]), false};
    std::uint64_t limit = end_offset;
    if (at >= ZIP64_LOCATOR_BYTES && u32(&tail[at - ZIP64_LOCATOR_BYTES]) == ZIP64_LOCATOR_SIGNATURE) {
        const std::uint64_t record_offset = u64(&tail[at - ZIP64_LOCATOR_BYTES + 8]);
        if (record_offset > end_offset - ZIP64_LOCATOR_BYTES) return std::nullopt;
        const auto record = read_bytes(archive, record_offset, ZIP64_END_OF_DIRECTORY_BYTES);
        if (!record || u32(record->data()) != ZIP64_END_OF_DIRECTORY_SIGNATURE) return std::nullopt;
        location = DirectoryLocation{u64(&(*record)[48]), u64(&(*record)[40]), u64(&(*record)[32]), true};
        limit = record_offset;
    }
    if (location.offset > limit || location.size > limit - location.offset) return std::nullopt;
    return location;
}

// One directory entry's Unicode path field, when it has one.
std::expected<std::optional<std::string>, std::string> unicode_path(const std::uint8_t* extra, std::size_t size,
                                                                    std::string_view stored_name,
                                                                    const std::string& shown_name) {
    std::optional<std::string> found;
    std::size_t at = 0;
    while (size - at >= 4) {
        const std::uint16_t id = u16(extra + at);
        const std::size_t length = u16(extra + at + 2);
        at += 4;
        if (length > size - at) return Failure("extra field overruns the entry " + shown_name);
        if (id == UNICODE_PATH_FIELD) {
            if (found) return Failure("entry " + shown_name + " has two Unicode path fields");
            const std::uint8_t* field = extra + at;
            if (length < 5 || field[0] != 1) return Failure("malformed Unicode path field in entry " + shown_name);
            if (u32(field + 1) != crc32(stored_name)) {
                return Failure("Unicode path field does not match the stored name of entry " + shown_name);
            }
            std::string name(reinterpret_cast<const char*>(field + 5), length - 5);
            if (!is_valid_utf8(name)) return Failure("Unicode path field of entry " + shown_name + " is not UTF-8");
            found = std::move(name);
        }
        at += length;
    }
    return found;
}

std::expected<std::vector<ZipEntryRecord>, ParseFailure> parse_directory(const Bytes& directory) {
    const auto structural = [](std::size_t index) {
        return std::unexpected(ParseFailure{"invalid central directory entry " + std::to_string(index), true});
    };
    const auto name_fault = [](std::string text) { return std::unexpected(ParseFailure{std::move(text), false}); };
    std::vector<ZipEntryRecord> records;
    std::size_t at = 0;
    while (at < directory.size()) {
        const std::size_t left = directory.size() - at;
        const std::uint8_t* entry = directory.data() + at;
        if (left < DIRECTORY_ENTRY_BYTES || u32(entry) != DIRECTORY_ENTRY_SIGNATURE) return structural(records.size());
        const std::size_t name_length = u16(entry + 28);
        const std::size_t extra_length = u16(entry + 30);
        const std::size_t comment_length = u16(entry + 32);
        const std::size_t length = DIRECTORY_ENTRY_BYTES + name_length + extra_length + comment_length;
        if (length > left) return structural(records.size());

        ZipEntryRecord record;
        record.host_system = static_cast<std::uint8_t>(u16(entry + 4) >> 8);
        record.flags = u16(entry + 8);
        record.crc = u32(entry + 16);
        record.external_attributes = u32(entry + 38);
        const std::string stored(reinterpret_cast<const char*>(entry + DIRECTORY_ENTRY_BYTES), name_length);
        if (record.flags & UTF8_NAME_FLAG) {
            if (!is_valid_utf8(stored)) return name_fault("entry name " + utf8_lossy(stored) + " is not UTF-8");
            record.name = stored;
        } else {
            record.name = cp437_to_utf8(stored);
        }
        const auto unicode =
            unicode_path(entry + DIRECTORY_ENTRY_BYTES + name_length, extra_length, stored, record.name);
        if (!unicode) return name_fault(unicode.error());
        if (*unicode) {
            record.name = **unicode;
            record.reader_name = **unicode;
        } else {
            record.reader_name = stored;
        }
        records.push_back(std::move(record));
        at += length;
    }
    return records;
}

}  // namespace

std::string cp437_to_utf8(std::string_view bytes) {
    std::u16string units;
    units.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<std::uint8_t>(c);
        units.push_back(byte < 0x80 ? static_cast<char16_t>(byte) : CP437_HIGH[byte - 0x80]);
    }
    return utf16_lossy(units);
}

std::expected<std::vector<ZipEntryRecord>, std::string> read_central_directory(const platform::InputFile& archive) {
    const auto size = archive.size();
    if (!size) return Failure(size.error().display());
    const std::uint64_t tail_length =
        std::min<std::uint64_t>(*size, MAX_COMMENT_BYTES + END_OF_DIRECTORY_BYTES + ZIP64_LOCATOR_BYTES);
    const std::uint64_t tail_offset = *size - tail_length;
    const auto tail = read_bytes(archive, tail_offset, tail_length);
    if (!tail) return Failure(tail.error());

    // The end record is searched from the end of the file: the last one whose
    // comment fits and that leads to a directory parsing exactly. A signature
    // inside a comment that leads nowhere is passed over.
    std::string failure = "end of central directory not found";
    for (std::size_t at = tail->size() >= END_OF_DIRECTORY_BYTES ? tail->size() - END_OF_DIRECTORY_BYTES + 1 : 0;
         at-- > 0;) {
        if (u32(&(*tail)[at]) != END_OF_DIRECTORY_SIGNATURE) continue;
        if (at + END_OF_DIRECTORY_BYTES + u16(&(*tail)[at + 20]) > tail->size()) continue;
        const auto location = locate_directory(archive, *tail, at, tail_offset + at);
        if (!location) continue;
        const auto directory = read_bytes(archive, location->offset, location->size);
        if (!directory) return Failure(directory.error());
        auto records = parse_directory(*directory);
        if (!records) {
            if (!records.error().structural) return Failure(records.error().text);
            failure = records.error().text;
            continue;
        }
        // Info-ZIP writes the entry count modulo 65536 when it avoids ZIP64.
        const std::uint64_t count = records->size();
        if (location->zip64 ? count != location->entries : count % 0x10000 != location->entries) {
            failure = "central directory holds " + std::to_string(count) + " entries, its end record " +
                      std::to_string(location->entries);
            continue;
        }
        return std::move(*records);
    }
    return Failure(failure);
}

}  // namespace tessaryndle::extraction
