#pragma once
// Typed records read strictly from JSON, and written from the same table:
// the install plan and its artifact record, the release feed, the
// current-version manifest (the agent's and the launcher's views).
//
// A record type's fields are bound to its struct members in one table, in
// document order (which is also the order of the positional array form):
//
//   constexpr json::FieldSpec ARTIFACT_FIELDS[] = {
//       json::field<&Artifact::url>("url"),
//       json::field<&Artifact::sha256>("sha256"),
//   };
//   constexpr json::RecordLayout<Artifact> ARTIFACT_LAYOUT{"Artifact", ARTIFACT_FIELDS};
//   Result<Artifact> artifact = json::read_record(bytes, ARTIFACT_LAYOUT);
//   Result<std::string> text = json::write_record(*artifact, ARTIFACT_LAYOUT);
//
// What a field accepts follows from its member's type, so a field is added
// by adding the member and its one line in the table. A table that binds a
// member of another struct or names a key twice does not compile.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "common/strict_json_reader.h"
#include "common/update_error.h"
#include "platform/text.h"

namespace tessaryndle::json {

// What a record field holds and what its "invalid type" message expects.
enum class FieldType {
    Text,          // std::string; expects "a string"
    Path,          // std::filesystem::path; expects "path string"
    U32,           // std::uint32_t, integer 0..4294967295; expects "u32"
    U64,           // std::uint64_t, integer 0..18446744073709551615; expects "u64"
    OptionalText,  // std::optional<std::string>: string, null or absent; expects "a string"
    OptionalPath,  // std::optional<std::filesystem::path>: string, null or absent; expects "path string"
    Boolean,       // bool; expects "a boolean"
    Record,        // a nested record: object or array by its layout; expects "struct {name}"
};

// A field value after the reader checked it against the field's type: the
// text of a string, the number of an integer in range, a boolean, or
// monostate for the null of an optional field.
using FieldValue = std::variant<std::monostate, std::string_view, std::uint64_t, bool>;

// A path that has no UTF-8 form (an unpaired surrogate on Windows, bytes
// that are not UTF-8 elsewhere), as the writer finds it: shown for the error.
struct PathWithoutText {
    std::string shown;
};

// A field value as the writer takes it from a record object: monostate for
// an empty optional (the key is left out), text, an integer, a boolean.
using WrittenValue = std::variant<std::monostate, std::string, std::uint64_t, bool, PathWithoutText>;

struct RecordSpec;

// One field: its key, what it holds and where the reader puts it. Made by
// json::field, never by hand.
struct FieldSpec {
    std::string_view key;
    FieldType type = FieldType::Text;
    // Record fields: the nested layout, and the nested object inside the
    // record object `target` points to.
    const RecordSpec* record = nullptr;
    void* (*nested)(void* target) = nullptr;
    const void* (*nested_source)(const void* source) = nullptr;
    // Every other field: stores a checked value into the record object, and
    // takes the value out of one for writing.
    void (*store)(void* target, const FieldValue& value) = nullptr;
    WrittenValue (*load)(const void* source) = nullptr;
    // Identifies the struct the member belongs to.
    const void* owner = nullptr;
};

// What a record does with a key its table does not name.
enum class UnknownKeys {
    // Skipped, with its value; the array form is accepted too. The plan and
    // the manifest, which later versions may extend.
    Skip,
    // Refused with "unknown field `{key}`", and only the object form is
    // read. Signed documents, where a key the reader does not know could
    // only mean a writer this reader must not trust.
    Refuse,
};

// A record type's name (as in "struct InstallPlan") and its fields in
// document order, without the type; see RecordLayout.
struct RecordSpec {
    std::string_view name;
    std::span<const FieldSpec> fields;
    UnknownKeys unknown_keys = UnknownKeys::Skip;
};

// What write_record leaves out: keys of the top-level record that a
// document of this kind does not carry (the release tool's artifact record
// before a URL is known).
struct WriteOptions {
    std::span<const std::string_view> left_out;
};

namespace detail {

template <class T>
inline constexpr char OWNER_TAG = 0;

template <auto Member>
struct MemberTraits;
template <class Owner, class M, M Owner::*Pointer>
struct MemberTraits<Pointer> {
    using owner = Owner;
    using type = M;
};

template <class M>
consteval FieldType field_type_of() {
    if constexpr (std::same_as<M, std::string>) {
        return FieldType::Text;
    } else if constexpr (std::same_as<M, std::filesystem::path>) {
        return FieldType::Path;
    } else if constexpr (std::same_as<M, std::uint32_t>) {
        return FieldType::U32;
    } else if constexpr (std::same_as<M, std::uint64_t>) {
        return FieldType::U64;
    } else if constexpr (std::same_as<M, std::optional<std::string>>) {
        return FieldType::OptionalText;
    } else if constexpr (std::same_as<M, bool>) {
        return FieldType::Boolean;
    } else {
        static_assert(std::same_as<M, std::optional<std::filesystem::path>>, "no JSON field type for this member");
        return FieldType::OptionalPath;
    }
}

template <auto Member, auto PathFromText>
void store(void* target, const FieldValue& value) {
    using Traits = MemberTraits<Member>;
    auto& slot = static_cast<typename Traits::owner*>(target)->*Member;
    using M = typename Traits::type;
    if constexpr (std::same_as<M, std::string>) {
        slot = std::string(std::get<std::string_view>(value));
    } else if constexpr (std::same_as<M, std::filesystem::path>) {
        slot = PathFromText(std::get<std::string_view>(value));
    } else if constexpr (std::same_as<M, std::uint32_t>) {
        slot = static_cast<std::uint32_t>(std::get<std::uint64_t>(value));
    } else if constexpr (std::same_as<M, std::uint64_t>) {
        slot = std::get<std::uint64_t>(value);
    } else if constexpr (std::same_as<M, bool>) {
        slot = std::get<bool>(value);
    } else if constexpr (std::same_as<M, std::optional<std::string>>) {
        if (const auto* text = std::get_if<std::string_view>(&value)) {
            slot = std::string(*text);
        } else {
            slot.reset();
        }
    } else {
        if (const auto* text = std::get_if<std::string_view>(&value)) {
            slot = PathFromText(*text);
        } else {
            slot.reset();
        }
    }
}

template <auto Member, auto PathToText>
WrittenValue load(const void* source) {
    using Traits = MemberTraits<Member>;
    const auto& slot = static_cast<const typename Traits::owner*>(source)->*Member;
    using M = typename Traits::type;
    const auto path_value = [](const std::filesystem::path& path) -> WrittenValue {
        if (auto text = PathToText(path)) return std::move(*text);
        return PathWithoutText{path_display(path)};
    };
    if constexpr (std::same_as<M, std::string> || std::same_as<M, bool>) {
        return slot;
    } else if constexpr (std::same_as<M, std::filesystem::path>) {
        return path_value(slot);
    } else if constexpr (std::same_as<M, std::uint32_t> || std::same_as<M, std::uint64_t>) {
        return std::uint64_t{slot};
    } else if constexpr (std::same_as<M, std::optional<std::string>>) {
        if (slot) return *slot;
        return std::monostate{};
    } else {
        if (slot) return path_value(*slot);
        return std::monostate{};
    }
}

template <auto Member>
void* nested(void* target) {
    return &(static_cast<typename MemberTraits<Member>::owner*>(target)->*Member);
}

template <auto Member>
const void* nested_source(const void* source) {
    return &(static_cast<const typename MemberTraits<Member>::owner*>(source)->*Member);
}

// Called only while checking a field table at compile time; a call makes
// the table's definition fail to compile with this name in the message.
void field_table_binds_a_member_of_another_record();
void field_table_names_a_key_twice();

// Reads `input` into the record object `target` of the layout's type.
[[nodiscard]] Result<void> read_fields(std::string_view input, const RecordSpec& layout, void* target);

// Writes the record object `source` of the layout's type.
[[nodiscard]] Result<std::string> write_fields(const RecordSpec& layout, const void* source,
                                               const WriteOptions& options);

}  // namespace detail

// A record type's layout: a RecordSpec whose fields are all members of T,
// each key once (checked when the layout is defined).
template <class T>
struct RecordLayout : RecordSpec {
    consteval RecordLayout(std::string_view record_name, std::span<const FieldSpec> record_fields,
                           UnknownKeys record_unknown_keys = UnknownKeys::Skip)
        : RecordSpec{record_name, record_fields, record_unknown_keys} {
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (fields[i].owner != &detail::OWNER_TAG<T>) {
                detail::field_table_binds_a_member_of_another_record();
            }
            for (std::size_t j = 0; j < i; ++j) {
                if (fields[j].key == fields[i].key) {
                    detail::field_table_names_a_key_twice();
                }
            }
        }
    }
};

// A field bound to the data member `Member` (a pointer to member), its type
// taken from the member's. Path members are made from the text by
// `PathFromText` (by default path_from_utf8) and written as `PathToText`
// gives them (by default path_utf8, its inverse).
template <auto Member, auto PathFromText = &path_from_utf8, auto PathToText = &path_utf8>
consteval FieldSpec field(std::string_view key) {
    using Traits = detail::MemberTraits<Member>;
    return FieldSpec{
        .key = key,
        .type = detail::field_type_of<typename Traits::type>(),
        .store = &detail::store<Member, PathFromText>,
        .load = &detail::load<Member, PathToText>,
        .owner = &detail::OWNER_TAG<typename Traits::owner>,
    };
}

// A field holding a nested record, bound to the member `Member` whose type
// is the nested layout's.
template <auto Member>
consteval FieldSpec field(std::string_view key,
                          const RecordLayout<typename detail::MemberTraits<Member>::type>& layout) {
    using Traits = detail::MemberTraits<Member>;
    return FieldSpec{
        .key = key,
        .type = FieldType::Record,
        .record = &layout,
        .nested = &detail::nested<Member>,
        .nested_source = &detail::nested_source<Member>,
        .owner = &detail::OWNER_TAG<typename Traits::owner>,
    };
}

// Reads `input` as one record of type T, the way a strict typed reader
// does, stopping at the first fault in document order:
// - an object: keys compared exactly; an unknown key's value, of any type,
//   is skipped, or with UnknownKeys::Refuse fails with "unknown field
//   `{key}`" (at the key); a known key given twice fails with "duplicate field `{key}`"
//   (at the key); a field without an Optional type that is missing fails with
//   "missing field `{key}`" (at the closing brace); an absent optional field
//   reads as null;
// - or, unless the layout refuses unknown keys (then an array is of the
//   wrong type), an array holding the field values in table order: fewer elements fail
//   with "invalid length {n}, expected struct {name} with {count} elements"
//   (at the closing bracket), an extra element with "trailing characters";
// - a value of the wrong type fails with "invalid type: {found}, expected
//   {expectation}", found as describe_found gives it and the expectation as
//   listed at FieldType (the document itself expects "struct {name}");
// - an integer out of the field's range fails with "invalid value: integer
//   `{n}`, expected u32" (or u64), n as written in the input.
// Failure: `UpdateError::serialization`.
template <class T>
[[nodiscard]] Result<T> read_record(std::string_view input, const RecordLayout<T>& layout) {
    T record{};
    if (auto read = detail::read_fields(input, layout, &record); !read) {
        return fail(std::move(read.error()));
    }
    return record;
}

// Writes one record of type T as the object form, keys in table order, two
// spaces of indentation and a final newline; an empty optional's key is
// left out. The text reads back with read_record as the same record.
// Failure: `UpdateError::serialization` "path is not valid Unicode: {path}"
// for a path member that has no UTF-8 form.
template <class T>
[[nodiscard]] Result<std::string> write_record(const T& record, const RecordLayout<T>& layout,
                                               const WriteOptions& options = {}) {
    return detail::write_fields(layout, &record, options);
}

// How an "invalid type" message describes a value: "null", "boolean `true`",
// "integer `5`", "floating point `1.5`", "string \"abc\"", "sequence", "map".
[[nodiscard]] std::string describe_found(const Value& value);

}  // namespace tessaryndle::json
