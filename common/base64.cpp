#include "common/base64.h"

#include <array>

namespace tessaryndle {
namespace {

constexpr std::uint8_t INVALID = 0xff;
constexpr char PAD = '=';

constexpr std::string_view ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::uint8_t, 256> make_table() {
    std::array<std::uint8_t, 256> table{};
    table.fill(INVALID);
    for (std::size_t i = 0; i < ALPHABET.size(); ++i) {
        table[static_cast<unsigned char>(ALPHABET[i])] = static_cast<std::uint8_t>(i);
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> DECODE = make_table();

std::string invalid_symbol(std::uint8_t byte, std::size_t offset) {
    return "Invalid symbol " + std::to_string(byte) + ", offset " + std::to_string(offset) + ".";
}

}  // namespace

std::expected<std::vector<std::uint8_t>, std::string> base64_decode(std::string_view text) {
    const std::size_t length = text.size();
    // The final group: the last four characters, or the one to three left
    // over after the complete groups. Padding may only stand there, after at
    // least two symbols.
    const std::size_t final_start = length % 4 == 0 ? (length >= 4 ? length - 4 : 0) : length - length % 4;

    std::vector<std::uint8_t> out;
    out.reserve(length / 4 * 3 + 3);
    std::uint32_t bits = 0;
    std::size_t symbols_in_group = 0;
    std::size_t final_symbols = 0;
    std::size_t padding = 0;
    std::size_t first_padding = 0;
    std::uint8_t last_symbol = 0;

    // A byte outside the alphabet is reported before any misplaced "=", so
    // that a stray character (a trailing newline, say) is named as such.
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<std::uint8_t>(text[i]);
        if (byte != PAD && DECODE[byte] == INVALID) return std::unexpected(invalid_symbol(byte, i));
    }

    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<std::uint8_t>(text[i]);
        if (byte == PAD) {
            if (i < final_start || i - final_start < 2) return std::unexpected(invalid_symbol(byte, i));
            if (padding == 0) first_padding = i;
            ++padding;
            continue;
        }
        const std::uint8_t value = DECODE[byte];
        // A symbol after padding: the padding was in the wrong place.
        if (padding > 0) return std::unexpected(invalid_symbol(static_cast<std::uint8_t>(PAD), first_padding));

        if (i >= final_start) {
            ++final_symbols;
            last_symbol = byte;
        }
        bits = bits << 6 | value;
        if (++symbols_in_group == 4) {
            out.push_back(static_cast<std::uint8_t>(bits >> 16));
            out.push_back(static_cast<std::uint8_t>(bits >> 8));
            out.push_back(static_cast<std::uint8_t>(bits));
            bits = 0;
            symbols_in_group = 0;
        }
    }

    if (length > 0 && final_symbols < 2) {
        return std::unexpected("Invalid input length: " + std::to_string(final_start + final_symbols));
    }
    if ((final_symbols + padding) % 4 != 0) return std::unexpected(std::string("Invalid padding"));

    // A final group of two symbols carries one byte (4 spare bits), three
    // symbols two bytes (2 spare bits); the spare bits must be zero.
    if (symbols_in_group == 2 || symbols_in_group == 3) {
        const unsigned spare = symbols_in_group == 2 ? 4 : 2;
        if ((bits & ((1u << spare) - 1)) != 0) {
            return std::unexpected("Invalid last symbol " + std::to_string(last_symbol) + ", offset " +
                                   std::to_string(final_start + final_symbols - 1) + ".");
        }
        bits >>= spare;
        if (symbols_in_group == 3) out.push_back(static_cast<std::uint8_t>(bits >> 8));
        out.push_back(static_cast<std::uint8_t>(bits));
    }
    return out;
}

std::string base64_encode(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6) text.push_back(ALPHABET[(group >> shift) & 0x3f]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t group = std::uint32_t{bytes[i]} << 16;
        if (rest == 2) group |= std::uint32_t{bytes[i + 1]} << 8;
        text.push_back(ALPHABET[(group >> 18) & 0x3f]);
        text.push_back(ALPHABET[(group >> 12) & 0x3f]);
        text.push_back(rest == 2 ? ALPHABET[(group >> 6) & 0x3f] : PAD);
        text.push_back(PAD);
    }
    return text;
}

}  // namespace tessaryndle
