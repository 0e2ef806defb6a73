#include "tests/support/zip_writer.h"

namespace tessaryndle::test {
namespace {

void put16(std::string& out, std::uint32_t value) {
    out.push_back(static_cast<char>(value & 0xff));
    out.push_back(static_cast<char>((value >> 8) & 0xff));
}

void put32(std::string& out, std::uint32_t value) {
    put16(out, value & 0xffff);
    put16(out, value >> 16);
}

constexpr std::uint32_t DOS_DATE_1980 = 0x21;  // 1980-01-01, time 00:00

}  // namespace

std::uint32_t crc32_of(std::string_view bytes) {
    std::uint32_t crc = 0xffffffffu;
    for (const char c : bytes) {
        crc ^= static_cast<std::uint8_t>(c);
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string make_zip(const std::vector<ZipEntryFields>& entries) {
    std::string out;
    std::string directory;
    for (const ZipEntryFields& entry : entries) {
        const std::uint32_t offset = static_cast<std::uint32_t>(out.size());
        const std::uint32_t crc = entry.crc.value_or(crc32_of(entry.data));
        const auto size = static_cast<std::uint32_t>(entry.data.size());

        put32(out, 0x04034b50);
        put16(out, 20);
        put16(out, entry.flags);
        put16(out, entry.method);
        put32(out, DOS_DATE_1980 << 16);
        put32(out, crc);
        put32(out, size);
        put32(out, size);
        put16(out, static_cast<std::uint32_t>(entry.name.size()));
        put16(out, static_cast<std::uint32_t>(entry.extra.size()));
        out += entry.name;
        out += entry.extra;
        out += entry.data;

        put32(directory, 0x02014b50);
        put16(directory, (static_cast<std::uint32_t>(entry.host_system) << 8) | 20);
        put16(directory, 20);
        put16(directory, entry.flags);
        put16(directory, entry.method);
        put32(directory, DOS_DATE_1980 << 16);
        put32(directory, crc);
        put32(directory, size);
        put32(directory, size);
        put16(directory, static_cast<std::uint32_t>(entry.name.size()));
        put16(directory, static_cast<std::uint32_t>(entry.extra.size()));
        put16(directory, 0);  // comment
        put16(directory, 0);  // disk
        put16(directory, 0);  // internal attributes
        put32(directory, entry.external_attributes);
        put32(directory, offset);
        directory += entry.name;
        directory += entry.extra;
    }
    const auto directory_offset = static_cast<std::uint32_t>(out.size());
    out += directory;
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<std::uint32_t>(entries.size()));
    put16(out, static_cast<std::uint32_t>(entries.size()));
    put32(out, static_cast<std::uint32_t>(directory.size()));
    put32(out, directory_offset);
    put16(out, 0);
    return out;
}

std::string unicode_path_field(std::string_view stored_name, std::string_view utf8, std::optional<std::uint32_t> crc) {
    std::string field;
    put16(field, 0x7075);
    put16(field, static_cast<std::uint32_t>(5 + utf8.size()));
    field.push_back(1);
    put32(field, crc.value_or(crc32_of(stored_name)));
    field += utf8;
    return field;
}

}  // namespace tessaryndle::test
