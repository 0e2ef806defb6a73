#include "common/json_records.h"

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

namespace tessaryndle::json {
namespace {

bool is_container(const Value& value) { return value.kind == Kind::Array || value.kind == Kind::Object; }

bool is_optional(FieldType type) { return type == FieldType::OptionalText || type == FieldType::OptionalPath; }

std::string_view expectation(FieldType type) {
    switch (type) {
        case FieldType::Text:
        case FieldType::OptionalText: return "a string";
        case FieldType::Path:
        case FieldType::OptionalPath: return "path string";
        case FieldType::U32: return "u32";
        case FieldType::U64: return "u64";
        case FieldType::Boolean: return "a boolean";
        case FieldType::Record: return "struct";
    }
    return {};
}

void append_hex(std::string& out, std::uint32_t cp) {
    char buffer[16];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, cp, 16);
    static_cast<void>(ec);
    out.append("\\u{").append(buffer, end).append("}");
}

// The string as Rust's debug format quotes it: escapes for quote, backslash
// and control characters, everything else as it is.
std::string debug_quoted(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            case '\0': out += "\\0"; continue;
            default: break;
        }
        if (c < 0x20 || c == 0x7F) {
            append_hex(out, c);
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            // U+0080..U+009F, the C1 controls
            append_hex(out, static_cast<unsigned char>(text[i + 1]));
            ++i;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    out += "\"";
    return out;
}

// Maps a (possibly partial) tree onto a record layout in document order,
// storing each field into the record object as it is checked. A fault found
// before the point where the read failed is reported in preference to that
// failure, as a streaming reader would.
class RecordReader {
public:
    RecordReader(std::string_view input, const std::optional<JsonError>& syntax_error)
        : input_(input), syntax_error_(syntax_error) {}

    Result<void> read(const Value& value, const RecordSpec& layout, void* target) const {
        if (value.kind == Kind::Object) {
            return read_object(value, layout, target);
        }
        if (value.kind == Kind::Array && layout.unknown_keys == UnknownKeys::Skip) {
            return read_array(value, layout, target);
        }
        if (!value.complete) {
            return syntax_failure();
        }
        return fail(invalid_type(value, "struct " + std::string(layout.name)));
    }

    UpdateError syntax_error() const {
        return UpdateError::serialization(syntax_error_ ? *syntax_error_ : JsonError{"syntax error", 0, 0});
    }

private:
    std::unexpected<UpdateError> syntax_failure() const { return fail(syntax_error()); }

    UpdateError at(std::size_t offset, std::string description) const {
        return UpdateError::serialization(error_at(input_, offset, std::move(description)));
    }

    // Scalars are reported after their last byte, containers before their
    // opening bracket, as a streaming reader sees them.
    UpdateError invalid_type(const Value& value, std::string_view expected) const {
        return at(is_container(value) ? value.start : value.end,
                  "invalid type: " + describe_found(value) + ", expected " + std::string(expected));
    }

    Result<void> read_object(const Value& object, const RecordSpec& layout, void* target) const {
        std::vector<bool> seen(layout.fields.size(), false);
        for (const Member& member : object.members) {
            std::size_t index = 0;
            while (index < layout.fields.size() && layout.fields[index].key != member.key) {
                ++index;
            }
            if (index == layout.fields.size()) {
                if (layout.unknown_keys == UnknownKeys::Refuse) {
                    return fail(at(skip_whitespace(input_, member.key_end), "unknown field `" + member.key + "`"));
                }
                if (!member.value.complete) {
                    return syntax_failure();
                }
                continue;
            }
            if (seen[index]) {
                return fail(at(skip_whitespace(input_, member.key_end), "duplicate field `" + member.key + "`"));
            }
            seen[index] = true;
            if (auto filled = fill(layout.fields[index], member.value, target); !filled) {
                return filled;
            }
        }
        if (!object.complete) {
            return syntax_failure();
        }
        for (std::size_t index = 0; index < layout.fields.size(); ++index) {
            if (seen[index]) {
                continue;
            }
            if (!is_optional(layout.fields[index].type)) {
                return fail(at(object.end, "missing field `" + std::string(layout.fields[index].key) + "`"));
            }
            // Absent means the same as null.
            layout.fields[index].store(target, FieldValue{});
        }
        return {};
    }

    Result<void> read_array(const Value& array, const RecordSpec& layout, void* target) const {
        for (std::size_t index = 0; index < layout.fields.size(); ++index) {
            if (index == array.elements.size()) {
                if (!array.complete) {
                    return syntax_failure();
                }
                return fail(at(array.end, "invalid length " + std::to_string(index) + ", expected struct " +
                                              std::string(layout.name) + " with " +
                                              std::to_string(layout.fields.size()) + " elements"));
            }
            if (auto filled = fill(layout.fields[index], array.elements[index], target); !filled) {
                return filled;
            }
        }
        if (array.elements.size() > layout.fields.size()) {
            return fail(at(array.elements[layout.fields.size()].start + 1, "trailing characters"));
        }
        if (!array.complete) {
            return syntax_failure();
        }
        return {};
    }

    // Checks one field's value against its type and stores it.
    Result<void> fill(const FieldSpec& field, const Value& value, void* target) const {
        if (field.type == FieldType::Record) {
            return read(value, *field.record, field.nested(target));
        }
        if (!is_container(value) && !value.complete) {
            return syntax_failure();
        }
        const std::string_view expected = expectation(field.type);
        switch (field.type) {
            case FieldType::OptionalText:
            case FieldType::OptionalPath:
                if (value.kind == Kind::Null) {
                    field.store(target, FieldValue{});
                    return {};
                }
                [[fallthrough]];
            case FieldType::Text:
            case FieldType::Path:
                if (value.kind != Kind::String) {
                    return fail(invalid_type(value, expected));
                }
                field.store(target, FieldValue{std::string_view(value.text)});
                return {};
            case FieldType::U32:
            case FieldType::U64: {
                if (value.kind != Kind::Integer) {
                    return fail(invalid_type(value, expected));
                }
                const auto number = value.as_u64();
                const std::uint64_t limit = field.type == FieldType::U32 ? 0xFFFFFFFFu : ~std::uint64_t{0};
                if (!number || *number > limit) {
                    return fail(at(value.end,
                                   "invalid value: integer `" + value.text + "`, expected " + std::string(expected)));
                }
                field.store(target, FieldValue{*number});
                return {};
            }
            case FieldType::Boolean:
                if (value.kind != Kind::Boolean) {
                    return fail(invalid_type(value, expected));
                }
                field.store(target, FieldValue{value.boolean});
                return {};
            case FieldType::Record: break;
        }
        return {};
    }

    std::string_view input_;
    const std::optional<JsonError>& syntax_error_;
};

// Builds the object form of a record, or names the first path without a
// UTF-8 form.
Result<nlohmann::ordered_json> written_object(const RecordSpec& layout, const void* source,
                                              std::span<const std::string_view> left_out) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const FieldSpec& field : layout.fields) {
        if (std::find(left_out.begin(), left_out.end(), field.key) != left_out.end()) continue;
        const std::string key(field.key);
        if (field.type == FieldType::Record) {
            auto nested = written_object(*field.record, field.nested_source(source), {});
            if (!nested) return nested;
            object[key] = std::move(*nested);
            continue;
        }
        WrittenValue value = field.load(source);
        if (auto* text = std::get_if<std::string>(&value)) {
            object[key] = std::move(*text);
        } else if (const auto* number = std::get_if<std::uint64_t>(&value)) {
            object[key] = *number;
        } else if (const auto* flag = std::get_if<bool>(&value)) {
            object[key] = *flag;
        } else if (const auto* path = std::get_if<PathWithoutText>(&value)) {
            return fail(UpdateError::serialization(JsonError{"path is not valid Unicode: " + path->shown}));
        }
    }
    return object;
}

}  // namespace

std::string describe_found(const Value& value) {
    switch (value.kind) {
        case Kind::Null: return "null";
        case Kind::Boolean: return value.boolean ? "boolean `true`" : "boolean `false`";
        case Kind::Integer: return "integer `" + value.text + "`";
        case Kind::Float: return "floating point `" + value.text + "`";
        case Kind::String: return "string " + debug_quoted(value.text);
        case Kind::Array: return "sequence";
        case Kind::Object: return "map";
    }
    return {};
}

namespace detail {

void field_table_binds_a_member_of_another_record() {}
void field_table_names_a_key_twice() {}

Result<void> read_fields(std::string_view input, const RecordSpec& layout, void* target) {
    const PartialRead reading = read_partial(input);
    const RecordReader reader(input, reading.error);
    if (!reading.root) {
        return fail(reader.syntax_error());
    }
    if (auto read = reader.read(*reading.root, layout, target); !read) {
        return read;
    }
    // The record itself is sound; what remains is a fault after it.
    if (reading.error) {
        return fail(reader.syntax_error());
    }
    return {};
}

Result<std::string> write_fields(const RecordSpec& layout, const void* source, const WriteOptions& options) {
    auto object = written_object(layout, source, options.left_out);
    if (!object) return fail(std::move(object.error()));
    // Texts that are not UTF-8 are replaced rather than thrown over: every
    // text the records hold was read as UTF-8 or checked by its writer.
    return object->dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace detail

}  // namespace tessaryndle::json
