#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "launcher/launch_manifest.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace tessaryndle::launcher {
namespace {

namespace fs = std::filesystem;

// A manifest path as the launcher holds it: "\" stays on Windows and becomes
// "/" where that is the separator.
fs::path held(std::string_view backslash_separated) {
    std::string text(backslash_separated);
    if (!test::on_windows()) {
        for (char& c : text) {
            if (c == '\\') c = '/';
        }
    }
    return path_from_utf8(text);
}

TEST(ParseLaunchManifestTest, AcceptedDocuments) {
    struct Case {
        std::string json;
        std::uint32_t schema;
        std::string executable;
        std::optional<std::string> previous;
    };
    const std::vector<Case> cases = {
        // As the agent writes it; `version` is not read.
        {"{\n  \"schema\": 1,\n  \"version\": \"2.4.0\",\n  \"executable\": "
         "\"versions\\\\2.4.0\\\\tessaryndle-app.exe\",\n  \"previous_executable\": "
         "\"versions\\\\2.3.1\\\\tessaryndle-app.exe\"\n}",
         1, "versions\\2.4.0\\tessaryndle-app.exe", "versions\\2.3.1\\tessaryndle-app.exe"},
        {R"({"schema": 1, "executable": "a.exe"})", 1, "a.exe", std::nullopt},
        {R"({"schema": 1, "executable": "a.exe", "previous_executable": null})", 1, "a.exe", std::nullopt},
        // Unknown members of any type are skipped, even one named twice.
        {R"({"x": {"y": [1, 2.5, null]}, "x": true, "executable": "a.exe", "schema": 1})", 1, "a.exe", std::nullopt},
        // The value is checked by the caller, which then refuses it with
        // its own message.
        {R"({"schema": 2, "executable": "../a"})", 2, "../a", std::nullopt},
        {" \t\r\n{\"schema\": 1, \"executable\": \"a.exe\"}\r\n ", 1, "a.exe", std::nullopt},
        {"{\"schema\": 1, \"executable\": \"\\u00e9\\u20ac.exe\"}", 1, "\xC3\xA9\xE2\x82\xAC.exe", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        const auto parsed = parse_launch_manifest(c.json);
        ASSERT_TRUE(parsed) << parsed.error().display();
        EXPECT_EQ(parsed->schema, c.schema);
        EXPECT_EQ(parsed->executable, held(c.executable));
        if (c.previous) {
            EXPECT_EQ(parsed->previous_executable, held(*c.previous));
        } else {
            EXPECT_FALSE(parsed->previous_executable);
        }
    }
}

TEST(ParseLaunchManifestTest, RefusedDocuments) {
    struct Case {
        std::string json;
        std::string display;  // the start of the displayed error
    };
    const std::vector<Case> cases = {
        {"", "serialization failed: "},
        {"\xEF\xBB\xBF{\"schema\": 1, \"executable\": \"a.exe\"}", "serialization failed: "},
        {R"({"schema": 1, "executable": "a.exe"} {})", "serialization failed: trailing characters"},
        {R"({"schema": 1, "executable": "a.exe"}x)", "serialization failed: trailing characters"},
        {R"({"schema": 1, "executable": "a.exe", "executable": "b.exe"})",
         "serialization failed: duplicate field `executable`"},
        {R"({"schema": 1, "schema": 1, "executable": "a.exe"})", "serialization failed: duplicate field `schema`"},
        {R"({"schema": 1})", "serialization failed: missing field `executable`"},
        {R"({"executable": "a.exe"})", "serialization failed: missing field `schema`"},
        {R"({"schema": -1, "executable": "a.exe"})", "serialization failed: invalid "},
        {R"({"schema": 1.5, "executable": "a.exe"})", "serialization failed: invalid type: floating point `1.5`"},
        {R"({"schema": "1", "executable": "a.exe"})", "serialization failed: invalid type: string"},
        {R"({"schema": 4294967296, "executable": "a.exe"})", "serialization failed: invalid value: integer"},
        {R"({"schema": 1, "executable": null})", "serialization failed: invalid type: null"},
        {R"({"schema": 1, "executable": "a.exe", "previous_executable": 7})",
         "serialization failed: invalid type: integer `7`"},
        {R"({"schema": 1, "executable": "a.exe")", "serialization failed: "},
        {"\"a.exe\"", "serialization failed: invalid type: string"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        const auto parsed = parse_launch_manifest(c.json);
        ASSERT_FALSE(parsed);
        EXPECT_EQ(parsed.error().kind(), UpdateErrorKind::Serialization);
        EXPECT_EQ(parsed.error().display().substr(0, c.display.size()), c.display) << parsed.error().display();
    }
}

TEST(ParseLaunchManifestTest, EmptyFileFailsAtLineOneColumnZero) {
    const auto parsed = parse_launch_manifest("");
    ASSERT_FALSE(parsed);
    ASSERT_NE(parsed.error().json_error(), nullptr);
    EXPECT_EQ(parsed.error().json_error()->line, 1u);
    EXPECT_EQ(parsed.error().json_error()->column, 0u);
}

TEST(ReadLaunchManifestTest, MissingFileIsIoAtThePath) {
    test::TempDir dir;
    const auto read = read_launch_manifest(dir / "current.json");
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind(), UpdateErrorKind::Io);
    ASSERT_NE(read.error().path(), nullptr);
    EXPECT_EQ(*read.error().path(), dir / "current.json");
}

}  // namespace
}  // namespace tessaryndle::launcher
