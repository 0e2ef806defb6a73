#pragma once
// A second, deliberately simple reader of the strict JSON documents, written
// apart from common/strict_json_reader and common/json_records, for the fuzz
// targets to check those against: whatever the real readers accept must be
// accepted here too, with the same values.
//
// The rules restated: one RFC 8259 value with only space, tab, line feed and
// carriage return around it; UTF-8 (no overlong forms, no surrogates, nothing
// above U+10FFFF), escapes of lone surrogates refused; no control character
// unescaped in a string; containers nested 128 levels deep refused (the
// outermost counting as 1). Records: an object whose known keys appear at
// most once each, every required one present, or an array with exactly one
// element per field.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaryndle::fuzz::reference {

enum class Kind { Null, Boolean, Number, String, Array, Object };

struct Member;

struct Node {
    Kind kind = Kind::Null;
    bool boolean = false;
    bool integer = false;  // a number without fraction or exponent
    std::string text;      // a string's value or a number's source text
    std::vector<Node> elements;
    std::vector<Member> members;
};

struct Member {
    std::string key;
    Node value;
};

// The document as a tree, or nullopt when the rules above refuse it.
[[nodiscard]] std::optional<Node> parse(std::string_view input);

enum class FieldKind { Text, U32, U64, OptionalText, Record };

struct FieldRule {
    std::string_view key;
    FieldKind kind = FieldKind::Text;
    std::span<const FieldRule> nested = {};
};

// A record's field values in table order, nested records flattened in place:
// text as it is, integers in decimal, the null or absence of an optional
// field as nullopt.
using Flat = std::vector<std::optional<std::string>>;

// The record the document holds, or nullopt when the rules refuse it.
[[nodiscard]] std::optional<Flat> read_record(std::string_view input, std::span<const FieldRule> fields);

}  // namespace tessaryndle::fuzz::reference
