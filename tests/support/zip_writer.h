#pragma once
// A minimal ZIP writer for tests: stored entries whose every header field the
// test chooses (name bytes, flags, host system, attributes, a wrong CRC-32,
// extra fields), so that archives no ordinary tool would write can be made.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaryndle::test {

struct ZipEntryFields {
    std::string name;  // stored name bytes, as they go into both headers
    std::string data;  // written as they are (compressed size = size)
    std::uint16_t flags = 0;
    std::uint8_t host_system = 3;  // upper byte of "version made by"
    std::uint32_t external_attributes = 0;
    std::uint16_t method = 0;          // written as given; only 0 makes readable data
    std::optional<std::uint32_t> crc;  // the stored CRC-32 when it must be wrong
    std::string extra;                 // extra fields of both headers
};

[[nodiscard]] std::uint32_t crc32_of(std::string_view bytes);

// The bytes of an archive with these entries in this order.
[[nodiscard]] std::string make_zip(const std::vector<ZipEntryFields>& entries);

// An Info-ZIP Unicode path extra field (0x7075, version 1) naming
// `stored_name` as `utf8`, with the CRC-32 of the stored name unless `crc`
// is given.
[[nodiscard]] std::string unicode_path_field(std::string_view stored_name, std::string_view utf8,
                                             std::optional<std::uint32_t> crc = std::nullopt);

}  // namespace tessaryndle::test
