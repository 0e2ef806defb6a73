#pragma once
// The archive's entries as the ZIP format names them, read from the central
// directory by us. libzip applies a matching Info-ZIP Unicode path field but
// silently drops one whose CRC-32 does not match the stored name, and hands
// names out as C strings, cut short at a NUL; extraction must see both.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "platform/input_file.h"

namespace tessaryndle::extraction {

struct ZipEntryRecord {
    // The entry's name as UTF-8 text (it may hold a NUL): the Unicode path
    // field's name when the entry has one, otherwise the stored name, read as
    // UTF-8 when general-purpose bit 11 is set and as code page 437 when not.
    std::string name;
    // The bytes libzip reports as the raw name: the Unicode path field's name
    // when there is one, otherwise the stored bytes.
    std::string reader_name;
    std::uint8_t host_system = 0;  // upper byte of "version made by"
    std::uint32_t external_attributes = 0;
    std::uint16_t flags = 0;  // general-purpose bit flags
    std::uint32_t crc = 0;
};

// The central directory's records in their order. Fails, with a description
// that follows "open ZIP: ", when no end-of-central-directory record leads to
// a directory that parses exactly, when a name with bit 11 set is not UTF-8,
// or when an entry's Unicode path field (0x7075) is malformed, appears twice,
// carries a CRC-32 that does not match the stored name, or is not UTF-8.
[[nodiscard]] std::expected<std::vector<ZipEntryRecord>, std::string> read_central_directory(
    const platform::InputFile& archive);

// Code page 437 as UTF-8; bytes below 0x80 are ASCII and stay as they are.
[[nodiscard]] std::string cp437_to_utf8(std::string_view bytes);

}  // namespace tessaryndle::extraction
