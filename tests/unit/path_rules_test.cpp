// One table for every name and path rule: a rule that let a name through here
// would let it through everywhere the name is used.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/path_rules.h"
#include "platform/text.h"

namespace tessaryndle {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

struct Rule {
    const char* name;
    std::function<bool(const std::string&)> accepts;
};

const Rule STABLE_NAME{"stable Windows name",
                       [](const std::string& s) { return path_rules::is_stable_windows_name(s); }};
const Rule BUILD{"build identifier", [](const std::string& s) { return path_rules::is_valid_build_identifier(s); }};
const Rule EXECUTABLE{"executable path",
                      [](const std::string& s) { return path_rules::is_safe_executable_path(path_from_utf8(s)); }};
const Rule PLAIN{"plain component", [](const std::string& s) { return path_rules::is_plain_component(s); }};
const Rule ENTRY{"archive entry", [](const std::string& s) { return path_rules::enclosed_entry_path(s).has_value(); }};

struct Case {
    const Rule* rule;
    std::string input;
    bool accepted;
};

TEST(PathRules, WhatEachRuleAcceptsAndRefuses) {
    const std::vector<Case> cases = {
        // What Windows would do to a name: trim, reinterpret or refuse it.
        {&STABLE_NAME, "plan-0123", true},
        {&STABLE_NAME, "a.b", true},
        {&STABLE_NAME, "..a", true},
        {&STABLE_NAME, "CONSOLE", true},
        {&STABLE_NAME, "COM0", true},
        {&STABLE_NAME, "LPT10", true},
        {&STABLE_NAME, "", false},
        {&STABLE_NAME, ".", false},
        {&STABLE_NAME, "..", false},
        {&STABLE_NAME, "...", false},
        {&STABLE_NAME, "a.", false},
        {&STABLE_NAME, "a ", false},
        {&STABLE_NAME, ". .", false},
        {&STABLE_NAME, "CON", false},
        {&STABLE_NAME, "con.txt", false},
        {&STABLE_NAME, "Nul", false},
        {&STABLE_NAME, "PRN.tar.gz", false},
        {&STABLE_NAME, "AUX .txt", false},
        {&STABLE_NAME, "COM1", false},
        {&STABLE_NAME, "lpt9.log", false},
        {&STABLE_NAME, "COM\u00B9", false},
        {&STABLE_NAME, "a/b", false},
        {&STABLE_NAME, "a\\b", false},
        {&STABLE_NAME, "a:b", false},
        {&STABLE_NAME, "a*b", false},
        {&STABLE_NAME, "a?b", false},
        {&STABLE_NAME, "a<b>", false},
        {&STABLE_NAME, "a|b", false},
        {&STABLE_NAME, "a\"b", false},
        {&STABLE_NAME, "a\tb", false},
        {&STABLE_NAME, "a\0b"s, false},

        // The weaker one-component rule.
        {&PLAIN, "a", true},
        {&PLAIN, "...", true},
        {&PLAIN, "", false},
        {&PLAIN, ".", false},
        {&PLAIN, "..", false},
        {&PLAIN, "a/b", false},
        {&PLAIN, "a\\b", false},
        {&PLAIN, "C:", false},
        {&PLAIN, "a\0"s, false},

        // Build identifiers name one version directory.
        {&BUILD, "2.4.0", true},
        {&BUILD, "2024-06-01_rc.1", true},
        {&BUILD, "A", true},
        {&BUILD, "..a", true},
        {&BUILD, "a..", false},  // Windows would trim the dots
        {&BUILD, "CON", false},
        {&BUILD, "nul.1", false},
        {&BUILD, "com1", false},
        {&BUILD, "CONSOLE", true},
        {&BUILD, "", false},
        {&BUILD, " 2.4", false},
        {&BUILD, "2.4/1", false},
        {&BUILD, "2.4\\1", false},
        {&BUILD,
         "\xc3\xbc"
         "1",
         false},
        {&BUILD, ".", false},
        {&BUILD, "..", false},
        {&BUILD, "...", false},
        {&BUILD, "a b", false},
        {&BUILD, "C:", false},
        {&BUILD, "a\0b"s, false},

        // Manifest executable paths: relative, plain components, ".exe".
        {&EXECUTABLE, "versions/1.0/tessaryndle-app.exe", true},
        {&EXECUTABLE, "versions\\1.0\\tessaryndle-app.exe", true},
        {&EXECUTABLE, "versions\\1.0/tessaryndle-app.exe", true},
        {&EXECUTABLE, "tessaryndle-app.exe", true},
        {&EXECUTABLE, "a.b.exe", true},
        {&EXECUTABLE, "versions//1.0\\\\tessaryndle-app.exe", true},
        {&EXECUTABLE, "versions/./1.0/tessaryndle-app.exe", true},
        {&EXECUTABLE, "", false},
        {&EXECUTABLE, "C:\\x\\tessaryndle-app.exe", false},
        {&EXECUTABLE, "C:tessaryndle-app.exe", false},
        {&EXECUTABLE, "c:/x/tessaryndle-app.exe", false},
        {&EXECUTABLE, "\\x\\tessaryndle-app.exe", false},
        {&EXECUTABLE, "/x/tessaryndle-app.exe", false},
        {&EXECUTABLE, "\\\\server\\share\\tessaryndle-app.exe", false},
        {&EXECUTABLE, "//server/share/tessaryndle-app.exe", false},
        {&EXECUTABLE, "\\\\?\\C:\\tessaryndle-app.exe", false},
        {&EXECUTABLE, "..\\tessaryndle-app.exe", false},
        {&EXECUTABLE, ".\\tessaryndle-app.exe", false},
        {&EXECUTABLE, "versions\\..\\tessaryndle-app.exe", false},
        {&EXECUTABLE, "versions/1.0/..", false},
        {&EXECUTABLE, "versions\\1.0\\tessaryndle-app.EXE", false},
        {&EXECUTABLE, "versions\\1.0\\tessaryndle-app", false},
        {&EXECUTABLE, "versions\\1.0\\tessaryndle-app.exe.old", false},
        {&EXECUTABLE, "versions\\1.0\\.exe", false},
        {&EXECUTABLE, "versions\\1.0\\tessaryndle-app.exe.", false},
        {&EXECUTABLE, "versions\\1.0\\tessaryndle-app.exe ", false},
        {&EXECUTABLE, "exe", false},
        {&EXECUTABLE, "versions\\1.0\\tessaryndle-app.exe:stream.exe", false},
        {&EXECUTABLE, "versions:1.0\\tessaryndle-app.exe", false},
        {&EXECUTABLE, "versions\\.. \\tessaryndle-app.exe", false},
        {&EXECUTABLE, "versions\\...\\tessaryndle-app.exe", false},
        {&EXECUTABLE, "versions\\1.0\\tessaryndle-app\0.exe"s, false},
        {&EXECUTABLE, "versions\\1.0\\tessaryndle-app?.exe", false},

        // Archive entry names: nothing may climb out of the destination.
        {&ENTRY, "a/./b/../c.txt", true},
        {&ENTRY, "a/../b.txt", true},
        {&ENTRY, "pkg\\tessaryndle-app.exe", true},
        {&ENTRY, "dir/", true},
        {&ENTRY, "ab:c", true},
        {&ENTRY, "../x.exe", false},
        {&ENTRY, "a/../../x.exe", false},
        {&ENTRY, "/x.exe", false},
        {&ENTRY, "\\x.exe", false},
        {&ENTRY, "C:x.exe", false},
        {&ENTRY, "C:\\x.exe", false},
        {&ENTRY, "c:/x.exe", false},
        {&ENTRY, "\\\\server\\share\\x.exe", false},
        {&ENTRY, "\\\\?\\C:\\x.exe", false},
        {&ENTRY, "\\\\.\\C:\\x.exe", false},
        {&ENTRY, "x\0.exe"s, false},
        {&ENTRY, "a/.. /x.exe", false},
        {&ENTRY, "a/.../x.exe", false},
        {&ENTRY, "..", false},
        // After resolving, a drive at the front would re-root the result.
        {&ENTRY, "a/C:x", true},
        {&ENTRY, "a/../C:x", false},
        {&ENTRY, "a/./../c:\\x.exe", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.rule->name) + " \"" + c.input + "\"");
        EXPECT_EQ(c.rule->accepts(c.input), c.accepted);
    }
}

TEST(PathRules, EntryNamesResolveInsideTheDestination) {
    const struct {
        std::string name;
        std::vector<std::string> components;
    } cases[] = {
        {"a/./b/../c.txt", {"a", "c.txt"}},
        {"a\\b\\c.txt", {"a", "b", "c.txt"}},
        {"pkg/", {"pkg"}},
        {"a/..", {}},
        {"\xC3\xA9t\xC3\xA9.txt", {"\xC3\xA9t\xC3\xA9.txt"}},
        // A later component that looks like a drive stays one component and
        // does not replace what came before it (on Windows a path "C:x"
        // appended with "/=" would).
        {"a/C:x", {"a", "C:x"}},
        {"a\\b/C:\\x.txt", {"a", "b", "C:", "x.txt"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto enclosed = path_rules::enclosed_entry_path(c.name);
        ASSERT_TRUE(enclosed);
        EXPECT_FALSE(enclosed->has_root_name() || enclosed->has_root_directory()) << path_display(*enclosed);
        std::vector<std::string> components;
        for (const auto& part : *enclosed) components.push_back(path_display(part));
        EXPECT_EQ(components, c.components);
    }
}

TEST(PathRules, ComponentComparisonAndPrefixes) {
    EXPECT_TRUE(path_rules::same_components(fs::path("a//b/./c"), fs::path("a/b/c")));
    EXPECT_FALSE(path_rules::same_components(fs::path("a/b"), fs::path("a/B")));
    EXPECT_FALSE(path_rules::same_components(fs::path("/a/b"), fs::path("a/b")));
    EXPECT_FALSE(path_rules::same_components(fs::path("a/b"), fs::path("a/b/c")));

    EXPECT_EQ(path_rules::relative_to_prefix(fs::path("p/x/y"), fs::path("p/")), fs::path("x") / "y");
    EXPECT_EQ(path_rules::relative_to_prefix(fs::path("p"), fs::path("p")), fs::path());
    EXPECT_EQ(path_rules::relative_to_prefix(fs::path("q/x"), fs::path("p")), std::nullopt);
    EXPECT_EQ(path_rules::relative_to_prefix(fs::path("pp/x"), fs::path("p")), std::nullopt);
}

}  // namespace
}  // namespace tessaryndle
