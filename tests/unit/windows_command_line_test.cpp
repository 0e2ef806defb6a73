#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/windows_command_line.h"

namespace tessaryndle::platform {
namespace {

TEST(QuoteWindowsArgumentTest, Table) {
    struct Case {
        std::wstring argument;
        std::wstring quoted;
    };
    const std::vector<Case> cases = {
        {L"a", L"a"},
        {L"", L"\"\""},
        {L"b c", L"\"b c\""},
        {L"tab\there", L"\"tab\there\""},
        {L"new\nline", L"new\nline"},
        {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
        {L"\"", L"\\\""},
        {L"a\\\"b", L"a\\\\\\\"b"},
        {L"a\\\\\"b", L"a\\\\\\\\\\\"b"},
        // Backslashes not before a quote stay single.
        {L"C:\\dir\\file", L"C:\\dir\\file"},
        {L"trailing\\", L"trailing\\"},
        {L"\\\\server\\share\\", L"\\\\server\\share\\"},
        // ... unless they end up before the closing quote.
        {L"C:\\my dir\\", L"\"C:\\my dir\\\\\""},
        {L"two trailing\\\\", L"\"two trailing\\\\\\\\\""},
        {L"x \\\"", L"\"x \\\\\\\"\""},
        {L"gr\u00fc\u00df \u20ac", L"\"gr\u00fc\u00df \u20ac\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.argument));
        EXPECT_EQ(quote_windows_argument(c.argument), c.quoted);
    }
}

TEST(WindowsCommandLineTest, ProgramIsQuotedAndArgumentsFollowWithOneSpace) {
    const std::vector<std::wstring> arguments = {L"a", L"b c", L"d"};
    EXPECT_EQ(windows_command_line(L"C:\\Program Files\\Tessaryndle\\versions\\2.4.0\\tessaryndle-app.exe", arguments),
              L"\"C:\\Program Files\\Tessaryndle\\versions\\2.4.0\\tessaryndle-app.exe\" a \"b c\" d");
    EXPECT_EQ(windows_command_line(L"C:\\app.exe", {}), L"\"C:\\app.exe\"");
    const std::vector<std::wstring> empties = {L"", L""};
    EXPECT_EQ(windows_command_line(L"C:\\app.exe", empties), L"\"C:\\app.exe\" \"\" \"\"");
}

}  // namespace
}  // namespace tessaryndle::platform
