#include "common/strict_json.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <iterator>
#include <nlohmann/json.hpp>
#include <utility>

#include "platform/text.h"

namespace tessaryndle::json {
namespace {

// Arrays and objects at this depth (the outermost value at depth 1) are
// refused.
constexpr std::size_t DEPTH_LIMIT = 128;

constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";

bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::size_t skip_whitespace(std::string_view input, std::size_t i) {
    while (i < input.size() && is_whitespace(input[i])) {
        ++i;
    }
    return i;
}

// One past the JSON number that starts at `i`; the grammar is
// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?. Only called on numbers the
// JSON reader has accepted.
std::size_t number_end(std::string_view input, std::size_t i) {
    auto digits = [&] {
        while (i < input.size() && is_digit(input[i])) {
            ++i;
        }
    };
    if (i < input.size() && input[i] == '-') {
        ++i;
    }
    // A leading zero stands alone: in "01" the reader took only the "0", and
    // the "1" is what follows the number.
    if (i < input.size() && input[i] == '0') {
        ++i;
    } else {
        digits();
    }
    if (i < input.size() && input[i] == '.') {
        ++i;
        digits();
    }
    if (i < input.size() && (input[i] == 'e' || input[i] == 'E')) {
        ++i;
        if (i < input.size() && (input[i] == '+' || input[i] == '-')) {
            ++i;
        }
        digits();
    }
    return i;
}

// The reader's own description without its exception prefix
// ("[json.exception.parse_error.101] parse error at line 1, column 4: ").
std::string reader_description(std::string_view what) {
    if (!what.empty() && what.front() == '[') {
        const auto close = what.find("] ");
        if (close != std::string_view::npos) {
            what.remove_prefix(close + 2);
        }
    }
    if (what.starts_with("parse error")) {
        const auto colon = what.find(": ");
        if (colon != std::string_view::npos) {
            what.remove_prefix(colon + 2);
        }
    }
    return utf8_lossy(what);
}

// An input iterator over the bytes that records how many bytes the JSON
// reader has taken so far, so that each SAX event knows where it happened.
class CountingIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    CountingIterator(const char* at, const char* base, std::size_t* consumed)
        : at_(at), base_(base), consumed_(consumed) {}
    reference operator*() const { return *at_; }
    CountingIterator& operator++() {
        ++at_;
        *consumed_ = static_cast<std::size_t>(at_ - base_);
        return *this;
    }
    CountingIterator operator++(int) {
        CountingIterator before = *this;
        ++*this;
        return before;
    }
    friend bool operator==(const CountingIterator& a, const CountingIterator& b) { return a.at_ == b.at_; }

private:
    const char* at_;
    const char* base_;
    std::size_t* consumed_;
};

// Builds the Value tree from the reader's SAX events. A container that is
// still open when reading fails keeps `end == 0`, and so does a member whose
// value was never read; the record reader uses that to report faults in
// document order.
class TreeBuilder final : public nlohmann::json_sax<nlohmann::json> {
public:
    TreeBuilder(std::string_view input, const std::size_t& consumed) : input_(input), consumed_(consumed) {}

    std::optional<Value> root;
    std::optional<JsonError> error;

    bool null() override { return scalar(Kind::Null, false, {}); }
    bool boolean(bool value) override { return scalar(Kind::Boolean, value, {}); }
    bool number_integer(number_integer_t) override { return number(); }
    bool number_unsigned(number_unsigned_t) override { return number(); }
    bool number_float(number_float_t, const string_t&) override { return number(); }
    bool string(string_t& value) override { return scalar(Kind::String, false, std::move(value)); }
    bool binary(binary_t&) override { return fail_at(consumed_, "binary values are not JSON"); }

    bool start_object(std::size_t) override { return open(Kind::Object); }
    bool start_array(std::size_t) override { return open(Kind::Array); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }

    bool key(string_t& key) override {
        Member member;
        member.key = std::move(key);
        member.key_end = consumed_;
        last_end_ = consumed_;
        open_.back()->members.push_back(std::move(member));
        return true;
    }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) override {
        // The reader counts the end of input as one more byte read.
        const std::size_t offset = std::min(position, input_.size());
        std::string description = reader_description(ex.what());
        // The reader takes a NUL byte for the end of the input; say what it
        // really was when input follows.
        if (offset > 0 && offset <= input_.size() && input_[offset - 1] == '\0') {
            const std::string_view eof = "unexpected end of input";
            if (const auto at = description.find(eof); at != std::string::npos) {
                description.replace(at, eof.size(), "unexpected NUL byte");
            }
        }
        return fail_at(offset, std::move(description));
    }

private:
    bool fail_at(std::size_t offset, std::string description) {
        error = error_at(input_, offset, std::move(description));
        return false;
    }

    // Where the next value starts: after the separators that follow the last
    // token seen.
    std::size_t value_start() const {
        std::size_t i = last_end_;
        while (i < input_.size() && (is_whitespace(input_[i]) || input_[i] == ':' || input_[i] == ',')) {
            ++i;
        }
        return i;
    }

    Value* place(Value value) {
        if (open_.empty()) {
            root = std::move(value);
            return &*root;
        }
        Value& top = *open_.back();
        if (top.kind == Kind::Array) {
            top.elements.push_back(std::move(value));
            return &top.elements.back();
        }
        top.members.back().value = std::move(value);
        return &top.members.back().value;
    }

    bool scalar(Kind kind, bool flag, std::string text) {
        Value value;
        value.kind = kind;
        value.boolean = flag;
        value.text = std::move(text);
        value.start = value_start();
        value.end = consumed_;
        last_end_ = value.end;
        place(std::move(value));
        return true;
    }

    // The reader has taken one byte past the number (unless the input ended
    // there) and gives no source text for integers, so the number is
    // measured in the input itself.
    bool number() {
        Value value;
        value.start = value_start();
        value.end = number_end(input_, value.start);
        value.text = std::string(input_.substr(value.start, value.end - value.start));
        value.kind = value.text.find_first_of(".eE") == std::string::npos ? Kind::Integer : Kind::Float;
        last_end_ = value.end;
        place(std::move(value));
        return true;
    }

    bool open(Kind kind) {
        if (open_.size() + 1 >= DEPTH_LIMIT) {
            return fail_at(consumed_, "recursion limit exceeded");
        }
        Value value;
        value.kind = kind;
        value.start = consumed_ - 1;
        value.end = 0;
        last_end_ = consumed_;
        open_.push_back(place(std::move(value)));
        return true;
    }

    bool close() {
        open_.back()->end = consumed_;
        last_end_ = consumed_;
        open_.pop_back();
        return true;
    }

    std::string_view input_;
    const std::size_t& consumed_;
    std::size_t last_end_ = 0;
    std::vector<Value*> open_;
};

struct Reading {
    std::optional<Value> root;  // partial when `error` is set
    std::optional<JsonError> error;
};

// The one strict SAX pass shared by both entry points.
Reading read_tree(std::string_view input) {
    Reading reading;
    if (input.starts_with(BYTE_ORDER_MARK)) {
        reading.error = error_at(
            input, 1, "syntax error while parsing value - unexpected byte order mark; expected '[', '{', or a literal");
        return reading;
    }
    std::size_t consumed = 0;
    TreeBuilder builder(input, consumed);
    try {
        const char* base = input.data();
        const CountingIterator first(base, base, &consumed);
        const CountingIterator last(base + input.size(), base, &consumed);
        // Not strict: the reader stops after the first value, and what
        // follows it is checked here ("trailing characters").
        const bool complete = nlohmann::json::sax_parse(first, last, &builder, nlohmann::json::input_format_t::json,
                                                        /*strict=*/false);
        if (complete && !builder.error && builder.root) {
            const std::size_t rest = skip_whitespace(input, builder.root->end);
            if (rest < input.size()) {
                builder.error = error_at(input, rest + 1, "trailing characters");
            }
        } else if (!builder.error) {
            builder.error = error_at(input, consumed, "syntax error while parsing value");
        }
    } catch (const std::exception& ex) {
        builder.error = JsonError{reader_description(ex.what()), 0, 0};
    } catch (...) {
        builder.error = JsonError{"the JSON reader failed", 0, 0};
    }
    reading.root = std::move(builder.root);
    reading.error = std::move(builder.error);
    return reading;
}

bool is_complete(const Value& value) { return value.end != 0; }

std::string_view expectation(FieldType type) {
    switch (type) {
        case FieldType::Text:
        case FieldType::OptionalText:
            return "a string";
        case FieldType::Path:
        case FieldType::OptionalPath:
            return "path string";
        case FieldType::U32:
            return "u32";
        case FieldType::U64:
            return "u64";
        case FieldType::Record:
            return "struct";
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
            case '"':
                out += "\\\"";
                continue;
            case '\\':
                out += "\\\\";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\0':
                out += "\\0";
                continue;
            default:
                break;
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

}  // namespace

const Value* Value::find(std::string_view key) const {
    if (kind != Kind::Object) {
        return nullptr;
    }
    for (auto it = members.rbegin(); it != members.rend(); ++it) {
        if (it->key == key) {
            return &it->value;
        }
    }
    return nullptr;
}

std::optional<std::uint64_t> Value::as_u64() const {
    if (kind != Kind::Integer) {
        return std::nullopt;
    }
    if (text == "-0") {
        return 0;
    }
    std::uint64_t number = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (ec != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return number;
}

JsonError error_at(std::string_view input, std::size_t offset, std::string description) {
    offset = std::min(offset, input.size());
    std::uint64_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        if (input[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return JsonError{std::move(description), line, offset - line_start};
}

std::string describe_found(const Value& value) {
    switch (value.kind) {
        case Kind::Null:
            return "null";
        case Kind::Boolean:
            return value.boolean ? "boolean `true`" : "boolean `false`";
        case Kind::Integer:
            return "integer `" + value.text + "`";
        case Kind::Float:
            return "floating point `" + value.text + "`";
        case Kind::String:
            return "string " + debug_quoted(value.text);
        case Kind::Array:
            return "sequence";
        case Kind::Object:
            return "map";
    }
    return {};
}

Result<Value> parse_value(std::string_view input) {
    Reading reading = read_tree(input);
    if (reading.error) {
        return fail(UpdateError::serialization(std::move(*reading.error)));
    }
    return std::move(*reading.root);
}

// ---------------------------------------------------------------------------
// Typed records

struct Record::Slot {
    std::string text;
    std::optional<std::string> optional;
    std::uint64_t number = 0;
    std::unique_ptr<Record> nested;
};

Record::Record() = default;
Record::~Record() = default;
Record::Record(Record&&) noexcept = default;
Record& Record::operator=(Record&&) noexcept = default;

const std::string& Record::text(std::size_t index) const { return slots_.at(index).text; }
const std::optional<std::string>& Record::optional_text(std::size_t index) const { return slots_.at(index).optional; }
std::uint64_t Record::number(std::size_t index) const { return slots_.at(index).number; }
const Record& Record::record(std::size_t index) const { return *slots_.at(index).nested; }

// Maps a (possibly partial) tree onto a record layout in document order. A
// fault found before the point where the SAX pass failed is reported in
// preference to that failure, as a streaming reader would.
class RecordReader {
public:
    RecordReader(std::string_view input, const std::optional<JsonError>& syntax_error)
        : input_(input), syntax_error_(syntax_error) {}

    Result<Record> read(const Value& value, const RecordSpec& layout) {
        if (value.kind == Kind::Object) {
            return read_object(value, layout);
        }
        if (value.kind == Kind::Array) {
            return read_array(value, layout);
        }
        if (!is_complete(value)) {
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
        const bool container = value.kind == Kind::Array || value.kind == Kind::Object;
        return at(container ? value.start : value.end,
                  "invalid type: " + describe_found(value) + ", expected " + std::string(expected));
    }

    Result<Record> read_object(const Value& object, const RecordSpec& layout) {
        Record record;
        record.slots_.resize(layout.fields.size());
        std::vector<bool> seen(layout.fields.size(), false);
        for (const Member& member : object.members) {
            std::size_t index = 0;
            while (index < layout.fields.size() && layout.fields[index].key != member.key) {
                ++index;
            }
            if (index == layout.fields.size()) {
                if (!is_complete(member.value)) {
                    return syntax_failure();
                }
                continue;
            }
            if (seen[index]) {
                return fail(at(skip_whitespace(input_, member.key_end), "duplicate field `" + member.key + "`"));
            }
            seen[index] = true;
            if (auto filled = fill(record.slots_[index], layout.fields[index], member.value); !filled) {
                return fail(std::move(filled.error()));
            }
        }
        if (!is_complete(object)) {
            return syntax_failure();
        }
        for (std::size_t index = 0; index < layout.fields.size(); ++index) {
            const FieldType type = layout.fields[index].type;
            if (!seen[index] && type != FieldType::OptionalText && type != FieldType::OptionalPath) {
                return fail(at(object.end, "missing field `" + std::string(layout.fields[index].key) + "`"));
            }
        }
        return record;
    }

    Result<Record> read_array(const Value& array, const RecordSpec& layout) {
        Record record;
        record.slots_.resize(layout.fields.size());
        for (std::size_t index = 0; index < layout.fields.size(); ++index) {
            if (index == array.elements.size()) {
                if (!is_complete(array)) {
                    return syntax_failure();
                }
                return fail(at(array.end, "invalid length " + std::to_string(index) + ", expected struct " +
                                              std::string(layout.name) + " with " + std::to_string(layout.fields.size()) +
                                              " elements"));
            }
            if (auto filled = fill(record.slots_[index], layout.fields[index], array.elements[index]); !filled) {
                return fail(std::move(filled.error()));
            }
        }
        if (array.elements.size() > layout.fields.size()) {
            return fail(at(array.elements[layout.fields.size()].start + 1, "trailing characters"));
        }
        if (!is_complete(array)) {
            return syntax_failure();
        }
        return record;
    }

    Result<void> fill(Record::Slot& slot, const FieldSpec& field, const Value& value) {
        if (field.type == FieldType::Record) {
            auto nested = read(value, *field.record);
            if (!nested) {
                return fail(std::move(nested.error()));
            }
            slot.nested = std::make_unique<Record>(std::move(*nested));
            return {};
        }
        const bool container = value.kind == Kind::Array || value.kind == Kind::Object;
        if (!container && !is_complete(value)) {
            return syntax_failure();
        }
        const std::string_view expected = expectation(field.type);
        switch (field.type) {
            case FieldType::OptionalText:
            case FieldType::OptionalPath:
                if (value.kind == Kind::Null) {
                    return {};
                }
                if (value.kind != Kind::String) {
                    return fail(invalid_type(value, expected));
                }
                slot.optional = value.text;
                return {};
            case FieldType::Text:
            case FieldType::Path:
                if (value.kind != Kind::String) {
                    return fail(invalid_type(value, expected));
                }
                slot.text = value.text;
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
                slot.number = *number;
                return {};
            }
            case FieldType::Record:
                break;
        }
        return {};
    }

    std::string_view input_;
    const std::optional<JsonError>& syntax_error_;
};

Result<Record> read_record(std::string_view input, const RecordSpec& layout) {
    Reading reading = read_tree(input);
    RecordReader reader(input, reading.error);
    if (!reading.root) {
        return fail(reader.syntax_error());
    }
    auto record = reader.read(*reading.root, layout);
    if (!record) {
        return record;
    }
    // The record itself is sound; what remains is a fault after it.
    if (reading.error) {
        return fail(reader.syntax_error());
    }
    return record;
}

}  // namespace tessaryndle::json
