#pragma once
// Strict JSON reading for the documents the programs read: the install plan,
// the current-version manifest (the agent's and the launcher's views) and the
// install result. This is the event level: one pass over the bytes that
// builds a tree of values with their positions; typed records are read from
// that tree by common/json_records.h.
//
// A DOM parse hides what these documents must refuse, so reading is one SAX
// pass over the bytes that sees every key (a key given twice), the nesting
// depth, the source text of every number (integers beyond 64 bits), a
// byte-order mark and anything after the value. Every failure is a JsonError
// with the position where reading stopped: line 1-based, column the 1-based
// column of the last byte read on that line (0 when none was read, so an
// empty input fails "at line 1 column 0").
//
// Rules of every read:
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
#include <optional>
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
    // Whether the reader got to the value's last byte. Only a read that
    // failed leaves values incomplete: the containers still open where it
    // stopped, and a member whose value it never reached (kind Null).
    bool complete = false;
    // Offsets into the input: `start` is the first byte of the value, `end`
    // one past its last byte (only meaningful when complete).
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

// One read that keeps what it got before a fault, for readers that report
// the first fault in document order (a typed record's field of the wrong type
// comes before a syntax error later in the input).
struct PartialRead {
    // The value as far as it was read; values the read did not finish are
    // marked incomplete. Absent when reading failed before any value began.
    std::optional<Value> root;
    // The first fault of the read itself, if any.
    std::optional<JsonError> error;
};
[[nodiscard]] PartialRead read_partial(std::string_view input);

// The first offset at or after `offset` whose byte is not JSON white space
// (space, tab, line feed, carriage return); input.size() when there is none.
[[nodiscard]] std::size_t skip_whitespace(std::string_view input, std::size_t offset);

// The JsonError for a fault found after reading `offset` bytes of `input`.
[[nodiscard]] JsonError error_at(std::string_view input, std::size_t offset, std::string description);

}  // namespace tessaryndle::json
