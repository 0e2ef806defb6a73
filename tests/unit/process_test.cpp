// Command lines the agent builds for the processes it starts: the elevated
// worker's parameters and the progress helper's arguments.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "agent/process.h"
#include "agent/progress.h"

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

TEST(ProgressHelper, ArgumentsAreTheSixOfProgressHelperMode) {
    struct Case {
        std::uint64_t delay;
        const char* name;
        const char* target;
        const char* delay_text;
    };
    const Case cases[] = {
        {0, "Tessaryndle", R"(C:\Program Files\Tessaryndle)", "0"},
        {1500, "My App", "/opt/my app", "1500"},
        {UINT64_MAX, "", R"(C:\Program Files\Tessaryndle\)", "18446744073709551615"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.delay_text);
        agent::InstallPlan plan;
        plan.fallback_progress_delay_ms = c.delay;
        plan.app_name = c.name;
        plan.install_target = path_from_utf8(c.target);
        const std::vector<NativeString> expected = {native("--show-progress-after"), native(c.delay_text),
                                                    native("--app-name"),            native(c.name),
                                                    native("--app-path"),            native(c.target)};
        EXPECT_EQ(agent::progress_helper_arguments(plan), expected);
    }
}

TEST(ProgressHelper, NoneIsNotRunningAndStopsAsNothing) {
    agent::ProgressHelper none;
    EXPECT_FALSE(none.running());
    EXPECT_FALSE(none.process_id().has_value());
    agent::stop_progress_helper(std::move(none));
}

}  // namespace
}  // namespace tessaryndle
