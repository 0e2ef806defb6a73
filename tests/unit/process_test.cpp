// The elevated worker's command line: quoting and the exact parameters. (The
// progress helper's arguments are checked as they arrive, in
// tests/integration/process_test.cpp.)

#include <gtest/gtest.h>

#include <string>

#include "agent/elevation/process.h"

namespace tessaryndle {
namespace {

NativeString native(std::string_view utf8) { return path_from_utf8(utf8).native(); }

TEST(QuoteArgument, QuotesEveryPathSoThatTheWindowsParserGivesItBack) {
    struct Case {
        const char* path;
        const char* quoted;
    };
    const Case cases[] = {
        {"a\"b", R"("a\"b")"},
        {R"(C:\dir\)", R"("C:\dir\\")"},
        {R"(a\\"b)", R"("a\\\\\"b")"},
        {R"(a\b)", R"("a\b")"},
        {R"(C:\S\plan.json)", R"("C:\S\plan.json")"},
        {R"(C:\Program Files\Tessaryndle)", R"("C:\Program Files\Tessaryndle")"},
        {R"(C:\dir\\)", R"("C:\dir\\\\")"},
        {"", R"("")"},
        {"\xC3\xA9t\xC3\xA9", "\"\xC3\xA9t\xC3\xA9\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(agent::quote_argument(path_from_utf8(c.path)), native(c.quoted));
    }
}

TEST(QuoteArgument, ShowsWhatIsNotTextAsReplacementCharacter) {
    // An unpaired surrogate on Windows, a byte that is not UTF-8 elsewhere.
    NativeString odd = native("a");
    odd.push_back(static_cast<NativeString::value_type>(sizeof(NativeString::value_type) == 2 ? 0xD800 : 0xFF));
    EXPECT_EQ(agent::quote_argument(std::filesystem::path(odd)), native("\"a\xEF\xBF\xBD\""));
}

TEST(ElevatedWorker, ParametersAreTheTwoQuotedPathsAndNothingElse) {
    EXPECT_EQ(agent::elevated_worker_parameters(path_from_utf8(R"(C:\Users\U\S\plan.json)"),
                                                path_from_utf8(R"(C:\Users\U\S\install-result.json)")),
              native(R"(--execute-plan "C:\Users\U\S\plan.json" --result "C:\Users\U\S\install-result.json")"));
    EXPECT_EQ(agent::elevated_worker_parameters(path_from_utf8(R"(C:\a b\)"), path_from_utf8("r\"q")),
              native(R"(--execute-plan "C:\a b\\" --result "r\"q")"));
}

}  // namespace
}  // namespace tessaryndle
