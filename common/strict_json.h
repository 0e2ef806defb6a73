#pragma once
// Strict JSON reading for the documents the programs read: the install plan,
// the current-version manifest (the agent's and the launcher's views) and the
// install result.
//
// A DOM parse hides what these documents must refuse, so reading is one SAX
// pass over the bytes that sees every key (a key given twice), the nesting
// depth, the source text of every number (integers beyond 64 bits), a
// byte-order mark and anything after the value. Every failure is a JsonError
// with the position where reading stopped: line 1-based, column the 1-based
// column of the last byte read on that line (0 when none was read, so an
// empty input fails "at line 1 column 0").
//
// Rules shared by both entry points:
// - Exactly one JSON value (RFC 8259, UTF-8), optionally surrounded by space,
//   tab, line feed and carriage return. Any other byte after it, a NUL byte
//   included, fails with "trailing characters" at that byte.
// - A UTF-8 byte-order mark is not skipped: it fails as invalid JSON.
// - Arrays and objects nested 128 levels deep (the outermost value counting
//   as level 1) fail with "recursion limit exceeded" at the opening bracket.
// - Syntax errors carry the JSON reader's own description, for example
//   "syntax error while parsing value - unexpected end of input; expected
//   '[', '{', or a literal".
// No function here throws.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/update_error.h"

namespace tessaryndle::json {

enum class Kind {
    Null,
    Boolean,
    // A number without fraction and exponent, of any magnitude.
    Integer,
    // A number with a fraction or an exponent.
    Float,
    String,
    Array,
    Object,
};

struct Member;

// One parsed JSON value with the byte offsets of its source text.
struct Value {
    Kind kind = Kind::Null;
    bool boolean = false;
    // String: the unescaped UTF-8 text. Integer and Float: the number's
    // source text, e.g. "-1", "18446744073709551616", "1.5e3".
    std::string text;
    std::vector<Value> elements;  // Array, in document order
    std::vector<Member> members;  // Object, in document order, repeated keys kept
    // Offsets into the input: `start` is the first byte of the value, `end`
    // one past its last byte.
    std::size_t start = 0;
    std::size_t end = 0;

    // The member's value for `key`; when the key is repeated, the last one
    // (a repeated key is not an error in a generic value). Null when this is
    // not an object or has no such member.
    [[nodiscard]] const Value* find(std::string_view key) const;
    // An Integer's value when it lies in 0..2^64-1; nullopt otherwise.
    [[nodiscard]] std::optional<std::uint64_t> as_u64() const;
};

struct Member {
    std::string key;          // unescaped
    std::size_t key_end = 0;  // one past the key's closing quote
    Value value;
};

// Reads `input` as one generic JSON value under the rules above. Repeated
// keys are kept in `members`; `find` gives the last. Failure:
// `UpdateError::serialization`.
[[nodiscard]] Result<Value> parse_value(std::string_view input);

// What a record field holds and what its "invalid type" message expects.
enum class FieldType {
    Text,          // string; expects "a string"
    Path,          // string; expects "path string"
    U32,           // integer 0..4294967295; expects "u32"
    U64,           // integer 0..18446744073709551615; expects "u64"
    OptionalText,  // string, null or absent (not required); expects "a string"
    OptionalPath,  // string, null or absent (not required); expects "path string"
    Record,        // object or array by the nested RecordSpec; expects "struct {name}"
};

struct RecordSpec;

struct FieldSpec {
    std::string_view key;
    FieldType type = FieldType::Text;
    const RecordSpec* record = nullptr;  // for FieldType::Record
};

// A typed record: its name (as in "struct InstallPlan") and its fields in
// document order. Specs are meant to be static constants.
struct RecordSpec {
    std::string_view name;
    std::span<const FieldSpec> fields;
};

// The fields of a record that passed `read_record`, by their index in the
// layout's field table. Each accessor must be used with the field's type.
class Record {
public:
    Record();
    ~Record();
    Record(Record&&) noexcept;
    Record& operator=(Record&&) noexcept;
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    // Text and Path fields: the string. OptionalText and OptionalPath fields:
    // the string, or nullopt when absent or null.
    [[nodiscard]] const std::string& text(std::size_t index) const;
    [[nodiscard]] const std::optional<std::string>& optional_text(std::size_t index) const;
    // U32 and U64 fields (a U32 value always fits 32 bits).
    [[nodiscard]] std::uint64_t number(std::size_t index) const;
    // Record fields.
    [[nodiscard]] const Record& record(std::size_t index) const;

private:
    struct Slot;
    friend class RecordReader;
    std::vector<Slot> slots_;
};

// Reads `input` as one record of type `layout`, the way a strict typed reader
// does, stopping at the first fault in document order:
// - an object: keys compared exactly; an unknown key's value, of any type,
//   is skipped; a known key given twice fails with "duplicate field `{key}`"
//   (at the key); a field without an Optional type that is missing fails with
//   "missing field `{key}`" (at the closing brace);
// - or an array holding the field values in table order: fewer elements fail
//   with "invalid length {n}, expected struct {name} with {count} elements"
//   (at the closing bracket), an extra element with "trailing characters";
// - a value of the wrong type fails with "invalid type: {found}, expected
//   {expectation}", found being "null", "boolean `true`", "integer `-1`",
//   "floating point `1.5`", "string \"abc\"", "sequence" or "map" and the
//   expectation as listed at FieldType (the document itself expects
//   "struct {name}");
// - an integer out of the field's range fails with "invalid value: integer
//   `{n}`, expected u32" (or u64), n as written in the input.
// Failure: `UpdateError::serialization`.
[[nodiscard]] Result<Record> read_record(std::string_view input, const RecordSpec& layout);

// The JsonError for a fault found after reading `offset` bytes of `input`.
[[nodiscard]] JsonError error_at(std::string_view input, std::size_t offset, std::string description);

// How an "invalid type" message describes a value: "null", "boolean `true`",
// "integer `5`", "floating point `1.5`", "string \"abc\"", "sequence", "map".
[[nodiscard]] std::string describe_found(const Value& value);

}  // namespace tessaryndle::json
