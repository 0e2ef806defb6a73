#include "common/strict_json_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessaryndle::json {
namespace {

std::string value_failure(std::string_view input) {
    auto value = parse_value(input);
    if (value) {
        return "(success)";
    }
    EXPECT_EQ(value.error().kind(), UpdateErrorKind::Serialization);
    return value.error().payload_text();
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

struct FailureCase {
    std::string name;
    std::string input;
    std::string expected;
};

TEST(StrictJsonDepth, OneHundredTwentySevenLevelsPassAndOneHundredTwentyEightFail) {
    EXPECT_EQ(value_failure(nested(127)), "(success)");
    EXPECT_EQ(value_failure(nested(128)), "recursion limit exceeded at line 1 column 128");
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

}  // namespace
}  // namespace tessaryndle::json
