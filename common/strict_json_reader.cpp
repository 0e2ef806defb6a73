#include "common/strict_json_reader.h"

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
// still open when reading fails stays incomplete, and so does a member whose
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
        value.complete = true;
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
        value.complete = true;
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
        last_end_ = consumed_;
        open_.push_back(place(std::move(value)));
        return true;
    }

    bool close() {
        open_.back()->end = consumed_;
        open_.back()->complete = true;
        last_end_ = consumed_;
        open_.pop_back();
        return true;
    }

    std::string_view input_;
    const std::size_t& consumed_;
    std::size_t last_end_ = 0;
    std::vector<Value*> open_;
};

}  // namespace

PartialRead read_partial(std::string_view input) {
    PartialRead reading;
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
        const bool finished = nlohmann::json::sax_parse(first, last, &builder, nlohmann::json::input_format_t::json,
                                                        /*strict=*/false);
        if (finished && !builder.error && builder.root) {
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

std::size_t skip_whitespace(std::string_view input, std::size_t offset) {
    while (offset < input.size() && is_whitespace(input[offset])) {
        ++offset;
    }
    return offset;
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

Result<Value> parse_value(std::string_view input) {
    PartialRead reading = read_partial(input);
    if (reading.error) {
        return fail(UpdateError::serialization(std::move(*reading.error)));
    }
    return std::move(*reading.root);
}

}  // namespace tessaryndle::json
