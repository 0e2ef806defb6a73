#include "common/json_records.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tessaryndle::json {
namespace {

struct Inner {
    std::string url;
    std::optional<std::string> hash;
    bool operator==(const Inner&) const = default;
};

struct Sample {
    std::uint32_t count = 0;
    std::uint64_t size = 0;
    std::string name;
    std::filesystem::path where;
    std::optional<std::filesystem::path> note;
    Inner inner;
    bool operator==(const Sample&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Sample& s) {
    return out << "{" << s.count << ", " << s.size << ", " << s.name << ", " << s.where << ", "
               << (s.note ? s.note->string() : "(none)") << ", {" << s.inner.url << ", "
               << s.inner.hash.value_or("(none)") << "}}";
}

constexpr FieldSpec INNER_FIELDS[] = {
    field<&Inner::url>("url"),
    field<&Inner::hash>("hash"),
};
constexpr RecordLayout<Inner> INNER{"Inner", INNER_FIELDS};

constexpr FieldSpec SAMPLE_FIELDS[] = {
    field<&Sample::count>("count"), field<&Sample::size>("size"), field<&Sample::name>("name"),
    field<&Sample::where>("where"), field<&Sample::note>("note"), field<&Sample::inner>("inner", INNER),
};
constexpr RecordLayout<Sample> SAMPLE{"Sample", SAMPLE_FIELDS};

constexpr std::string_view VALID = R"({"count":1,"size":2,"name":"n","where":"w","note":null,"inner":{"url":"u"}})";

std::string record_failure(std::string_view input) {
    auto record = read_record(input, SAMPLE);
    if (record) {
        return "(success)";
    }
    EXPECT_EQ(record.error().kind(), UpdateErrorKind::Serialization);
    return record.error().payload_text();
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(StrictJsonRecord, ReadsEachFormIntoTheBoundMembers) {
    struct Case {
        std::string name;
        std::string input;
        Sample expected;
    };
    const Case cases[] = {
        {"every type, members out of order, escapes, white space around",
         "\r\n\t {\"inner\":{\"hash\":\"h\",\"url\":\"u\"},\"count\":4294967295,\"size\":18446744073709551615,"
         "\"name\":\"a\\u00e9\\n\",\"where\":\"C:\\\\x\",\"note\":\"p\"} \n",
         {4294967295u, 18446744073709551615u, "a\xC3\xA9\n", path_from_utf8("C:\\x"), path_from_utf8("p"), {"u", "h"}}},
        {"optional fields null", std::string(VALID), {1, 2, "n", "w", std::nullopt, {"u", std::nullopt}}},
        {"optional fields absent",
         R"({"count":1,"size":2,"name":"n","where":"w","inner":{"url":"u","hash":null}})",
         {1, 2, "n", "w", std::nullopt, {"u", std::nullopt}}},
        {"unknown members of any type skipped, keys compared exactly",
         R"({"Count":"x","extra":{"a":[1,{"b":null}],"count":"no"},"count":1,"size":2,"name":"n","where":"w",)"
         R"("z":[true,false,1.5e3,-7,"s"],"inner":{"url":"u","more":{}},"n":null})",
         {1, 2, "n", "w", std::nullopt, {"u", std::nullopt}}},
        {"array form", R"([7, 8, "n", "w", null, ["u", "h"]])", {7, 8, "n", "w", std::nullopt, {"u", "h"}}},
        {"negative zero is the integer zero",
         R"([-0, 0, "n", "w", null, ["u", null]])",
         {0, 0, "n", "w", std::nullopt, {"u", std::nullopt}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto record = read_record(c.input, SAMPLE);
        ASSERT_TRUE(record) << record.error().display();
        EXPECT_EQ(*record, c.expected);
    }
}

struct FailureCase {
    std::string name;
    std::string input;
    std::string expected;
};

TEST(StrictJsonRecord, ReportsEachFaultWithItsPosition) {
    const std::vector<FailureCase> cases = {
        {"empty input", "",
         "syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal at line 1 column "
         "0"},
        {"only white space", "  \n ",
         "syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal at line 2 column "
         "1"},
        {"missing field at the closing brace", "{\"count\":1,\"size\":2,\"name\":\"n\",\n\"inner\":{\"url\":\"u\"}}",
         "missing field `where` at line 2 column 20"},
        {"missing field in the nested record", R"({"count":1,"size":2,"name":"n","where":"w","inner":{"hash":null}})",
         "missing field `url` at line 1 column 64"},
        {"duplicate field, equal values", R"({"count":1,"count":1})", "duplicate field `count` at line 1 column 18"},
        {"duplicate field, white space before the colon", "{\"name\":\"a\",\"name\"  :\"a\"}",
         "duplicate field `name` at line 1 column 20"},
        {"duplicate in the nested record", R"({"inner":{"url":"u","url":"u"}})",
         "duplicate field `url` at line 1 column 25"},
        {"float for u32", R"({"count":1.0})", "invalid type: floating point `1.0`, expected u32 at line 1 column 12"},
        {"exponent for u64", R"({"count":1,"size":1e3})",
         "invalid type: floating point `1e3`, expected u64 at line 1 column 21"},
        {"negative for u32", R"({"count":-1})", "invalid value: integer `-1`, expected u32 at line 1 column 11"},
        {"u32 one too large", R"({"count":4294967296})",
         "invalid value: integer `4294967296`, expected u32 at line 1 column 19"},
        {"u64 one too large", R"({"count":1,"size":18446744073709551616})",
         "invalid value: integer `18446744073709551616`, expected u64 at line 1 column 38"},
        {"huge negative", R"({"count":-99999999999999999999})",
         "invalid value: integer `-99999999999999999999`, expected u32 at line 1 column 30"},
        {"string for u32", R"({"count":"1"})", "invalid type: string \"1\", expected u32 at line 1 column 12"},
        {"integer for a string", R"({"name":5})", "invalid type: integer `5`, expected a string at line 1 column 9"},
        {"boolean for a path", R"({"where":true})",
         "invalid type: boolean `true`, expected path string at line 1 column 13"},
        {"null for a required string", R"({"name":null})", "invalid type: null, expected a string at line 1 column 12"},
        {"number for an optional path", R"({"note":0})",
         "invalid type: integer `0`, expected path string at line 1 column 9"},
        {"array for a string, before the bracket", R"({"name": [1,2]})",
         "invalid type: sequence, expected a string at line 1 column 9"},
        {"object for u64", R"({"size":{}})", "invalid type: map, expected u64 at line 1 column 8"},
        {"string for the nested record", R"({"inner":"a\"b\\c\n"})",
         "invalid type: string \"a\\\"b\\\\c\\n\", expected struct Inner at line 1 column 20"},
        {"document of the wrong type", "\"abc\"",
         "invalid type: string \"abc\", expected struct Sample at line 1 column 5"},
        {"document that is a number", " 12 ", "invalid type: integer `12`, expected struct Sample at line 1 column 3"},
        {"short array form", "[1, 2]", "invalid length 2, expected struct Sample with 6 elements at line 1 column 6"},
        {"short nested array form", R"({"inner":[]})",
         "invalid length 0, expected struct Inner with 2 elements at line 1 column 11"},
        {"long array form", R"([1,2,"n","w",null,["u",null], 9])", "trailing characters at line 1 column 31"},
        {"second value after the record", std::string(VALID) + " {}", "trailing characters at line 1 column 77"},
        {"NUL after the record", std::string(VALID) + std::string("\0junk", 5),
         "trailing characters at line 1 column 76"},
        {"byte-order mark", "\xEF\xBB\xBF" + std::string(VALID),
         "syntax error while parsing value - unexpected byte order mark; expected '[', '{', or a literal at line 1 "
         "column 1"},
        {"trailing comma", R"({"count":1,})",
         "syntax error while parsing object key - unexpected '}'; expected string literal at line 1 column 12"},
        {"NUL inside the document", std::string("{\"count\":\0}", 11),
         "syntax error while parsing value - unexpected NUL byte; expected '[', '{', or a literal at line 1 column 10"},
        {"unterminated document", R"({"count":1)",
         "syntax error while parsing object - unexpected end of input; expected '}' at line 1 column 10"},
        // A fault earlier in the document wins over a syntax error after it.
        {"type fault before a syntax error", R"({"count":"x", !})",
         "invalid type: string \"x\", expected u32 at line 1 column 12"},
        {"duplicate before a syntax error", R"({"count":1,"count":)", "duplicate field `count` at line 1 column 18"},
        {"syntax error inside a skipped member", R"({"other":[1,}, "count":"x"})",
         "syntax error while parsing value - unexpected '}'; expected '[', '{', or a literal at line 1 column 13"},
        {"missing field before trailing data", R"({} x)", "missing field `count` at line 1 column 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(record_failure(c.input), c.expected);
    }
}

TEST(StrictJsonRecord, DepthLimitHoldsInsideSkippedMembers) {
    // Objects count as levels too.
    std::string deep_member = R"({"count":1,"x":)" + nested(126) + "}";
    EXPECT_EQ(record_failure(deep_member),
              "missing field `size` at line 1 column " + std::to_string(deep_member.size()));
    std::string too_deep = R"({"count":1,"x":)" + nested(127) + "}";
    EXPECT_EQ(record_failure(too_deep), "recursion limit exceeded at line 1 column 142");
}

TEST(StrictJsonDescribe, DescribesFoundValues) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"null", "null"},
        {"false", "boolean `false`"},
        {"-12", "integer `-12`"},
        {"1.5", "floating point `1.5`"},
        {"[1]", "sequence"},
        {"{}", "map"},
        {R"("\u0001\t\u007f\u0085é'")", "string \"\\u{1}\\t\\u{7f}\\u{85}\xC3\xA9'\""},
    };
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE(input);
        auto value = parse_value(input);
        ASSERT_TRUE(value) << value.error().display();
        EXPECT_EQ(describe_found(*value), expected);
    }
}

}  // namespace
}  // namespace tessaryndle::json
