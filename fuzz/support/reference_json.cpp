#include "fuzz/support/reference_json.h"

#include <cstdint>
#include <limits>

namespace tessaryndle::fuzz::reference {
namespace {

constexpr int DEPTH_LIMIT = 128;

class Parser {
public:
    explicit Parser(std::string_view input) : input_(input) {}

    std::optional<Node> document() {
        space();
        auto node = value(1);
        if (!node) return std::nullopt;
        space();
        if (at_ != input_.size()) return std::nullopt;
        return node;
    }

private:
    std::string_view input_;
    std::size_t at_ = 0;

    bool more() const { return at_ < input_.size(); }
    unsigned char peek() const { return static_cast<unsigned char>(input_[at_]); }
    void space() {
        while (more() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++at_;
    }
    bool take(char c) {
        if (more() && input_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool word(std::string_view w) {
        if (input_.substr(at_, w.size()) != w) return false;
        at_ += w.size();
        return true;
    }

    std::optional<Node> value(int depth) {
        if (!more()) return std::nullopt;
        Node node;
        switch (peek()) {
            case 'n':
                if (!word("null")) return std::nullopt;
                return node;
            case 't':
            case 'f':
                node.kind = Kind::Boolean;
                node.boolean = peek() == 't';
                if (!word(node.boolean ? "true" : "false")) return std::nullopt;
                return node;
            case '"':
                node.kind = Kind::String;
                if (!string(node.text)) return std::nullopt;
                return node;
            case '[': return array(depth);
            case '{': return object(depth);
            default: return number();
        }
    }

    std::optional<Node> array(int depth) {
        if (depth >= DEPTH_LIMIT) return std::nullopt;
        ++at_;
        Node node;
        node.kind = Kind::Array;
        space();
        if (take(']')) return node;
        for (;;) {
            space();
            auto element = value(depth + 1);
            if (!element) return std::nullopt;
            node.elements.push_back(std::move(*element));
            space();
            if (take(']')) return node;
            if (!take(',')) return std::nullopt;
        }
    }

    std::optional<Node> object(int depth) {
        if (depth >= DEPTH_LIMIT) return std::nullopt;
        ++at_;
        Node node;
        node.kind = Kind::Object;
        space();
        if (take('}')) return node;
        for (;;) {
            space();
            std::string key;
            if (!more() || peek() != '"' || !string(key)) return std::nullopt;
            space();
            if (!take(':')) return std::nullopt;
            space();
            auto member = value(depth + 1);
            if (!member) return std::nullopt;
            node.members.push_back(Member{std::move(key), std::move(*member)});
            space();
            if (take('}')) return node;
            if (!take(',')) return std::nullopt;
        }
    }

    std::optional<Node> number() {
        const std::size_t start = at_;
        auto digits = [&] {
            const std::size_t first = at_;
            while (more() && peek() >= '0' && peek() <= '9') ++at_;
            return at_ > first;
        };
        Node node;
        node.kind = Kind::Number;
        node.integer = true;
        take('-');
        if (take('0')) {
        } else if (!digits()) {
            return std::nullopt;
        }
        if (take('.')) {
            node.integer = false;
            if (!digits()) return std::nullopt;
        }
        if (more() && (peek() == 'e' || peek() == 'E')) {
            ++at_;
            node.integer = false;
            if (!take('+')) take('-');
            if (!digits()) return std::nullopt;
        }
        node.text = std::string(input_.substr(start, at_ - start));
        return node;
    }

    static void append_utf8(std::string& out, std::uint32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    std::optional<std::uint32_t> hex4() {
        if (input_.size() - at_ < 4) return std::nullopt;
        std::uint32_t code = 0;
        for (int i = 0; i < 4; ++i) {
            const unsigned char c = peek();
            ++at_;
            code <<= 4;
            if (c >= '0' && c <= '9') {
                code |= c - '0';
            } else if (c >= 'a' && c <= 'f') {
                code |= c - 'a' + 10;
            } else if (c >= 'A' && c <= 'F') {
                code |= c - 'A' + 10;
            } else {
                return std::nullopt;
            }
        }
        return code;
    }

    // One UTF-8 sequence starting at the current byte, appended as it is.
    bool utf8(std::string& out) {
        const unsigned char lead = peek();
        std::size_t length = 0;
        std::uint32_t code = 0;
        std::uint32_t minimum = 0;
        if (lead < 0x80) {
            length = 1;
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            code = lead & 0x1F;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            code = lead & 0x0F;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            code = lead & 0x07;
            minimum = 0x10000;
        } else {
            return false;
        }
        if (input_.size() - at_ < length) return false;
        for (std::size_t i = 1; i < length; ++i) {
            const auto c = static_cast<unsigned char>(input_[at_ + i]);
            if ((c & 0xC0) != 0x80) return false;
            code = (code << 6) | (c & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        out.append(input_.substr(at_, length));
        at_ += length;
        return true;
    }

    bool string(std::string& out) {
        ++at_;  // the opening quote
        for (;;) {
            if (!more()) return false;
            const unsigned char c = peek();
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20) return false;
            if (c != '\\') {
                if (!utf8(out)) return false;
                continue;
            }
            ++at_;
            if (!more()) return false;
            const char escape = input_[at_++];
            switch (escape) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    auto code = hex4();
                    if (!code) return false;
                    if (*code >= 0xDC00 && *code <= 0xDFFF) return false;
                    if (*code >= 0xD800 && *code <= 0xDBFF) {
                        if (!word("\\u")) return false;
                        const auto low = hex4();
                        if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
                        *code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
                    }
                    append_utf8(out, *code);
                    break;
                }
                default: return false;
            }
        }
    }
};

// An unsigned integer in range as decimal text without leading zeros.
std::optional<std::string> unsigned_value(const Node& node, std::uint64_t maximum) {
    if (node.kind != Kind::Number || !node.integer) return std::nullopt;
    std::string_view text = node.text;
    if (text == "-0") return "0";
    if (text.starts_with('-')) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    if (value > maximum) return std::nullopt;
    return std::to_string(value);
}

bool read_fields(const Node& node, std::span<const FieldRule> fields, Flat& out);

bool read_field(const Node& node, const FieldRule& rule, Flat& out) {
    switch (rule.kind) {
        case FieldKind::Text:
            if (node.kind != Kind::String) return false;
            out.emplace_back(node.text);
            return true;
        case FieldKind::OptionalText:
            if (node.kind == Kind::Null) {
                out.emplace_back(std::nullopt);
                return true;
            }
            if (node.kind != Kind::String) return false;
            out.emplace_back(node.text);
            return true;
        case FieldKind::U32:
        case FieldKind::U64: {
            const auto value =
                unsigned_value(node, rule.kind == FieldKind::U32 ? std::numeric_limits<std::uint32_t>::max()
                                                                 : std::numeric_limits<std::uint64_t>::max());
            if (!value) return false;
            out.emplace_back(*value);
            return true;
        }
        case FieldKind::Record: return read_fields(node, rule.nested, out);
    }
    return false;
}

bool read_fields(const Node& node, std::span<const FieldRule> fields, Flat& out) {
    if (node.kind == Kind::Array) {
        if (node.elements.size() != fields.size()) return false;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (!read_field(node.elements[i], fields[i], out)) return false;
        }
        return true;
    }
    if (node.kind != Kind::Object) return false;
    for (const FieldRule& rule : fields) {
        const Node* found = nullptr;
        for (const Member& member : node.members) {
            if (member.key != rule.key) continue;
            if (found != nullptr) return false;  // a known key twice
            found = &member.value;
        }
        if (found == nullptr) {
            if (rule.kind != FieldKind::OptionalText) return false;
            out.emplace_back(std::nullopt);
            continue;
        }
        if (!read_field(*found, rule, out)) return false;
    }
    return true;
}

}  // namespace

std::optional<Node> parse(std::string_view input) { return Parser(input).document(); }

std::optional<Flat> read_record(std::string_view input, std::span<const FieldRule> fields) {
    const auto root = parse(input);
    if (!root) return std::nullopt;
    Flat out;
    if (!read_fields(*root, fields, out)) return std::nullopt;
    return out;
}

}  // namespace tessaryndle::fuzz::reference
