#include "common/strict_json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessaryndle::json {
namespace {

constexpr FieldSpec INNER_FIELDS[] = {
    {"url", FieldType::Text},
    {"hash", FieldType::OptionalText},
};
constexpr RecordSpec INNER{"Inner", INNER_FIELDS};

constexpr FieldSpec SAMPLE_FIELDS[] = {
    {"count", FieldType::U32},  {"size", FieldType::U64},          {"name", FieldType::Text},
    {"where", FieldType::Path}, {"note", FieldType::OptionalPath}, {"inner", FieldType::Record, &INNER},
};
constexpr RecordSpec SAMPLE{"Sample", SAMPLE_FIELDS};

constexpr std::string_view VALID = R"({"count":1,"size":2,"name":"n","where":"w","note":null,"inner":{"url":"u"}})";

std::string record_failure(std::string_view input) {
    auto record = read_record(input, SAMPLE);
    if (record) {
        return "(success)";
    }
    EXPECT_EQ(record.error().kind(), UpdateErrorKind::Serialization);
    return record.error().payload_text();
}

std::string value_failure(std::string_view input) {
    auto value = parse_value(input);
    if (value) {
        return "(success)";
    }
    EXPECT_EQ(value.error().kind(), UpdateErrorKind::Serialization);
    return value.error().payload_text();
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(StrictJsonRecord, ReadsFieldsOfEveryType) {
    auto record = read_record(
        "\r\n\t {\"inner\":{\"hash\":\"h\",\"url\":\"u\"},\"count\":4294967295,\"size\":18446744073709551615,"
        "\"name\":\"a\\u00e9\\n\",\"where\":\"C:\\\\x\",\"note\":\"p\"} \n",
        SAMPLE);
    ASSERT_TRUE(record) << record.error().display();
    EXPECT_EQ(record->number(0), 4294967295u);
    EXPECT_EQ(record->number(1), 18446744073709551615u);
    EXPECT_EQ(record->text(2), "a\xC3\xA9\n");
    EXPECT_EQ(record->text(3), "C:\\x");
    EXPECT_EQ(record->optional_text(4), "p");
    EXPECT_EQ(record->record(5).text(0), "u");
    EXPECT_EQ(record->record(5).optional_text(1), "h");
}

TEST(StrictJsonRecord, OptionalFieldsMayBeNullOrAbsent) {
    auto record = read_record(VALID, SAMPLE);
    ASSERT_TRUE(record) << record.error().display();
    EXPECT_EQ(record->optional_text(4), std::nullopt);
    EXPECT_EQ(record->record(5).optional_text(1), std::nullopt);

    auto absent = read_record(R"({"count":1,"size":2,"name":"n","where":"w","inner":{"url":"u","hash":null}})", SAMPLE);
    ASSERT_TRUE(absent) << absent.error().display();
    EXPECT_EQ(absent->optional_text(4), std::nullopt);
}

TEST(StrictJsonRecord, SkipsUnknownMembersOfAnyType) {
    auto record = read_record(
        R"({"Count":"x","extra":{"a":[1,{"b":null}],"count":"no"},"count":1,"size":2,"name":"n","where":"w",)"
        R"("z":[true,false,1.5e3,-7,"s"],"inner":{"url":"u","more":{}},"n":null})",
        SAMPLE);
    ASSERT_TRUE(record) << record.error().display();
    EXPECT_EQ(record->number(0), 1u);
}

TEST(StrictJsonRecord, ReadsTheArrayForm) {
    auto record = read_record(R"([7, 8, "n", "w", null, ["u", "h"]])", SAMPLE);
    ASSERT_TRUE(record) << record.error().display();
    EXPECT_EQ(record->number(0), 7u);
    EXPECT_EQ(record->record(5).optional_text(1), "h");
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

TEST(StrictJsonRecord, NegativeZeroIsTheIntegerZero) {
    auto record = read_record(R"([-0, 0, "n", "w", null, ["u", null]])", SAMPLE);
    ASSERT_TRUE(record) << record.error().display();
    EXPECT_EQ(record->number(0), 0u);
}

TEST(StrictJsonDepth, OneHundredTwentySevenLevelsPassAndOneHundredTwentyEightFail) {
    EXPECT_EQ(value_failure(nested(127)), "(success)");
    EXPECT_EQ(value_failure(nested(128)), "recursion limit exceeded at line 1 column 128");
    // Objects count as levels too, and the limit holds inside skipped members.
    std::string deep_member = R"({"count":1,"x":)" + nested(126) + "}";
    EXPECT_EQ(record_failure(deep_member),
              "missing field `size` at line 1 column " + std::to_string(deep_member.size()));
    std::string too_deep = R"({"count":1,"x":)" + nested(127) + "}";
    EXPECT_EQ(record_failure(too_deep), "recursion limit exceeded at line 1 column 142");
}

TEST(StrictJsonValue, KeepsNumbersAsWrittenAndRepeatedKeys) {
    auto value = parse_value(R"({"a":18446744073709551616,"b":-0.5e-3,"a":true,"s":"\u00e9"})");
    ASSERT_TRUE(value) << value.error().display();
    ASSERT_EQ(value->kind, Kind::Object);
    ASSERT_EQ(value->members.size(), 4u);
    EXPECT_EQ(value->members[0].value.kind, Kind::Integer);
    EXPECT_EQ(value->members[0].value.text, "18446744073709551616");
    EXPECT_EQ(value->members[0].value.as_u64(), std::nullopt);
    EXPECT_EQ(value->members[1].value.kind, Kind::Float);
    EXPECT_EQ(value->members[1].value.text, "-0.5e-3");
    const Value* a = value->find("a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->kind, Kind::Boolean);  // the last of two wins
    EXPECT_TRUE(a->boolean);
    EXPECT_EQ(value->find("s")->text, "\xC3\xA9");
    EXPECT_EQ(value->find("missing"), nullptr);
}

TEST(StrictJsonValue, RecordsSourceOffsets) {
    const std::string input = R"( {"k" : [ 12 , "x" ] } )";
    auto value = parse_value(input);
    ASSERT_TRUE(value) << value.error().display();
    EXPECT_EQ(input.substr(value->start, value->end - value->start), R"({"k" : [ 12 , "x" ] })");
    const Member& member = value->members.at(0);
    EXPECT_EQ(input.substr(0, member.key_end), R"( {"k")");
    const Value& array = member.value;
    EXPECT_EQ(input.substr(array.start, array.end - array.start), R"([ 12 , "x" ])");
    EXPECT_EQ(input.substr(array.elements.at(0).start, array.elements.at(0).end - array.elements.at(0).start), "12");
    EXPECT_EQ(input.substr(array.elements.at(1).start, array.elements.at(1).end - array.elements.at(1).start),
              R"("x")");
}

TEST(StrictJsonValue, RefusesWhatADomParseWouldHide) {
    const std::vector<FailureCase> cases = {
        {"trailing value", R"({"ok":true}{})", "trailing characters at line 1 column 12"},
        {"trailing text after a number", "1 2", "trailing characters at line 1 column 3"},
        {"trailing NUL", std::string("{}\0", 3), "trailing characters at line 1 column 3"},
        {"leading zero", "01", "trailing characters at line 1 column 2"},
        {"negative leading zero", "-00", "trailing characters at line 1 column 3"},
        {"byte-order mark", "\xEF\xBB\xBF{}",
         "syntax error while parsing value - unexpected byte order mark; expected '[', '{', or a literal at line 1 "
         "column 1"},
        {"line counting", "{\n\"a\":\n  tru }",
         "syntax error while parsing value - invalid literal; last read: '\"a\":<U+000A>  tru ' at line 3 column 6"},
        {"invalid UTF-8 shown as replacement", "[\"\xFF\"]",
         "syntax error while parsing value - invalid string: ill-formed UTF-8 byte; last read: '\"\xEF\xBF\xBD' at "
         "line 1 column 3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(value_failure(c.input), c.expected);
    }
    EXPECT_EQ(value_failure(" {\"a\":[]} \r\n\t"), "(success)");
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
