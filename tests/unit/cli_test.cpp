#include <gtest/gtest.h>

#include "agent/cli.h"
#include "tests/support/run_program.h"

namespace tessaryndle::agent {
namespace {

std::string parse_error(const std::vector<std::string>& args) {
    auto parsed = parse_command_line(test::native_args(args));
    if (parsed) return "<accepted>";
    return parsed.error().display();
}

TEST(CommandLineTest, RefusalsNameTheFirstFailingCheck) {
    const std::string usage = "installation failed: the updater agent requires --install-plan or --execute-plan";
    const std::string unexpected = "installation failed: the updater agent received unexpected arguments";
    const std::string bad_delay = "installation failed: the progress delay is invalid";
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{}, usage},
        {{"--INSTALL-PLAN", "p"}, usage},
        {{"--install-plan=p"}, usage},
        {{"install-plan", "p"}, usage},
        {{""}, usage},
        {{"--install-plan"}, "installation failed: the install plan path is missing"},
        {{"--install-plan", "a", "b"}, unexpected},
        {{"--execute-plan"}, "installation failed: the install plan path is missing"},
        {{"--execute-plan", "p"}, "installation failed: the privileged updater worker requires --result"},
        {{"--execute-plan", "p", "--Result", "r"},
         "installation failed: the privileged updater worker requires --result"},
        {{"--execute-plan", "p", "--result"}, "installation failed: the install result path is missing"},
        {{"--execute-plan", "p", "--result", "r", "x"}, unexpected},
        {{"--show-progress-after"}, bad_delay},
        {{"--show-progress-after", "-1", "--app-name", "n", "--app-path", "p"}, bad_delay},
        {{"--show-progress-after", "", "--app-name", "n", "--app-path", "p"}, bad_delay},
        {{"--show-progress-after", "1.5", "--app-name", "n", "--app-path", "p"}, bad_delay},
        {{"--show-progress-after", " 1", "--app-name", "n", "--app-path", "p"}, bad_delay},
        {{"--show-progress-after", "18446744073709551616", "--app-name", "n", "--app-path", "p"}, bad_delay},
        {{"--show-progress-after", "x", "--bogus"}, bad_delay},
        {{"--show-progress-after", "5"}, "installation failed: the progress helper requires --app-name"},
        {{"--show-progress-after", "5", "--app-name"}, "installation failed: the application name is missing"},
        {{"--show-progress-after", "5", "--app-name", "n"},
         "installation failed: the progress helper requires --app-path"},
        {{"--show-progress-after", "5", "--app-name", "n", "--app-path"},
         "installation failed: the application path is missing"},
        {{"--show-progress-after", "5", "--app-name", "n", "--app-path", "p", "q"}, unexpected},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += "[" + a + "]";
        SCOPED_TRACE(joined);
        EXPECT_EQ(parse_error(c.args), c.message);
    }
}

TEST(CommandLineTest, AcceptedShapesKeepTheirValues) {
    auto install = parse_command_line(test::native_args({"--install-plan", "dir/plan.json"}));
    ASSERT_TRUE(install);
    EXPECT_EQ(std::get<InstallPlanCommand>(*install).plan_path, std::filesystem::path("dir/plan.json"));

    auto execute = parse_command_line(test::native_args({"--execute-plan", "p.json", "--result", "r.json"}));
    ASSERT_TRUE(execute);
    EXPECT_EQ(std::get<ExecutePlanCommand>(*execute).result_path, std::filesystem::path("r.json"));

    auto progress = parse_command_line(test::native_args(
        {"--show-progress-after", "+0042", "--app-name", "Tessaryndle \xE2\x9C\x93", "--app-path", "C:/x"}));
    ASSERT_TRUE(progress);
    const auto& p = std::get<ShowProgressCommand>(*progress);
    EXPECT_EQ(p.delay_ms, 42u);
    EXPECT_EQ(p.app_name, "Tessaryndle \xE2\x9C\x93");
}

TEST(CommandLineTest, DelayParserLimits) {
    EXPECT_EQ(parse_delay("0"), 0u);
    EXPECT_EQ(parse_delay("+7"), 7u);
    EXPECT_EQ(parse_delay("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(parse_delay("018446744073709551615"), UINT64_MAX);
    EXPECT_FALSE(parse_delay("18446744073709551616"));
    EXPECT_FALSE(parse_delay("+"));
    EXPECT_FALSE(parse_delay("++1"));
    EXPECT_FALSE(parse_delay("1 "));
    EXPECT_FALSE(parse_delay("0x10"));
    EXPECT_FALSE(parse_delay("\xEF\xBC\x91"));  // a full-width digit
}

}  // namespace
}  // namespace tessaryndle::agent
