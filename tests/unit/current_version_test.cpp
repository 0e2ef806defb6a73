#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/current_version.h"
#include "platform/os_error.h"
#include "platform/text.h"
#include "tests/support/result_text.h"
#include "tests/support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace tessaryndle {
namespace {

namespace fs = std::filesystem;

// A path in the native form the agent writes: backslashes on Windows.
fs::path native_relative(std::string_view slash_separated) {
    std::string text(slash_separated);
    if (test::on_windows()) {
        for (char& c : text) {
            if (c == '/') c = '\\';
        }
    }
    return path_from_utf8(text);
}

// A path that is not valid Unicode: an unpaired surrogate on Windows, a
// stray byte elsewhere.
fs::path invalid_unicode_path() {
    NativeString text = native_relative("versions/").native();
    using Unit = NativeString::value_type;
    text.push_back(static_cast<Unit>(sizeof(Unit) == 1 ? 0xFF : 0xD800));
    text += native_relative("/tessaryndle-app.exe").native();
    return fs::path(text);
}

CurrentVersion example_manifest() {
    CurrentVersion manifest;
    manifest.version = "2.4.0";
    manifest.executable = native_relative("versions/2.4.0/tessaryndle-app.exe");
    manifest.previous_executable = native_relative("versions/2.3.1/tessaryndle-app.exe");
    return manifest;
}

// The separator as written in JSON text.
std::string sep() { return test::on_windows() ? "\\\\" : "/"; }

TEST(SerializeCurrentVersionTest, ExactText) {
    const std::string head = "{\n  \"schema\": 1,\n  \"version\": \"2.4.0\",\n  \"executable\": \"versions" + sep() +
                             "2.4.0" + sep() + "tessaryndle-app.exe\"";
    CurrentVersion without_previous = example_manifest();
    without_previous.previous_executable.reset();
    const struct {
        std::string name;
        CurrentVersion manifest;
        std::string text;
    } cases[] = {
        {"ExampleIsExactText", example_manifest(),
         head + ",\n  \"previous_executable\": \"versions" + sep() + "2.3.1" + sep() + "tessaryndle-app.exe\"\n}"},
        {"AbsentPreviousIsLeftOut", without_previous, head + "\n}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(serialize_current_version(c.manifest), c.text);
    }
}

TEST(SerializeCurrentVersionTest, EscapesOnlyWhatJsonRequires) {
    struct Case {
        std::string version;
        std::string written;
    };
    const std::vector<Case> cases = {
        {"2.4.0 \"beta\"", R"(2.4.0 \"beta\")"},
        {"a\\b", R"(a\\b)"},
        {"a/b", "a/b"},
        {std::string("\b\t\n\f\r", 5), R"(\b\t\n\f\r)"},
        {std::string("\x00\x01\x0b\x1f", 4), R"(\u0000\u0001\u000b\u001f)"},
        {"\x7f", "\x7f"},
        {"gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80", "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        CurrentVersion manifest = example_manifest();
        manifest.version = c.version;
        manifest.previous_executable.reset();
        const auto text = serialize_current_version(manifest);
        ASSERT_TRUE(text);
        const std::string line = "\n  \"version\": \"" + c.written + "\",\n";
        EXPECT_NE(text->find(line), std::string::npos) << *text;
    }
}

TEST(SerializeCurrentVersionTest, NonAsciiPathIsWrittenAsUtf8) {
    CurrentVersion manifest = example_manifest();
    manifest.executable = native_relative("versions/\xC3\xA9t\xC3\xA9 \"1\"/tessaryndle-app.exe");
    const auto text = serialize_current_version(manifest);
    ASSERT_TRUE(text);
    EXPECT_NE(text->find("\"versions" + sep() + "\xC3\xA9t\xC3\xA9 \\\"1\\\"" + sep() + "tessaryndle-app.exe\""),
              std::string::npos)
        << *text;
}

class WriteCurrentVersionTest : public ::testing::Test {
protected:
    fs::path manifest_path() const { return dir_ / "current.json"; }
    fs::path temporary_path() const { return dir_ / "current.json.new"; }

    test::TempDir dir_;
};

TEST_F(WriteCurrentVersionTest, WritesTheManifestWhateverWasThere) {
    CurrentVersion without_previous = example_manifest();
    without_previous.previous_executable.reset();
    const struct {
        std::string name;
        std::optional<std::string> manifest_before;
        std::optional<std::string> temporary_before;
        CurrentVersion manifest;
    } cases[] = {
        {"CreatesManifestWhenNoneExists", std::nullopt, std::nullopt, example_manifest()},
        {"ReplacesExistingManifest", "{\"old\": true, \"padding\": \"longer than the new manifest .............\"}",
         std::nullopt, without_previous},
        {"StaleTemporaryFileIsReplaced", "old", std::string(4096, 'x'), example_manifest()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(manifest_path());
        if (c.manifest_before) test::write_file(manifest_path(), *c.manifest_before);
        if (c.temporary_before) test::write_file(temporary_path(), *c.temporary_before);
        ASSERT_TRUE(write_current_version(manifest_path(), c.manifest));
        EXPECT_EQ(test::read_file(manifest_path()), serialize_current_version(c.manifest).value());
        EXPECT_FALSE(fs::exists(temporary_path()));
    }
}

TEST_F(WriteCurrentVersionTest, RefusedManifestTouchesNothing) {
    CurrentVersion unsafe = example_manifest();
    unsafe.executable = native_relative("../tessaryndle-app.exe");
    CurrentVersion invalid_unicode = example_manifest();
    invalid_unicode.previous_executable = invalid_unicode_path();
    const struct {
        std::string name;
        CurrentVersion manifest;
        std::string error;
    } cases[] = {
        {"UnsafeExecutableTouchesNothing", unsafe, "installation failed: current-version executable path is unsafe"},
        {"InvalidUnicodePathWritesNothing", invalid_unicode,
         "serialization failed: path contains invalid UTF-8 characters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::write_file(manifest_path(), "old");
        EXPECT_EQ(test::outcome(write_current_version(manifest_path(), c.manifest)), c.error);
        EXPECT_EQ(test::read_file(manifest_path()), "old");
        EXPECT_FALSE(fs::exists(temporary_path()));
    }
}

TEST_F(WriteCurrentVersionTest, TemporaryFileThatCannotBeCreatedIsIoAtItsPath) {
    fs::create_directory(temporary_path());
    EXPECT_EQ(test::io_error_at(write_current_version(manifest_path(), example_manifest())),
              test::io_at(temporary_path()));
    EXPECT_FALSE(fs::exists(manifest_path()));
}

TEST_F(WriteCurrentVersionTest, DirectoryInPlaceOfManifestFailsTheReplacement) {
    fs::create_directory(manifest_path());
    const auto written = write_current_version(manifest_path(), example_manifest());
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().kind(), UpdateErrorKind::Installation);
    // Renaming a file over a directory: EISDIR natively, access denied on
    // Windows.
    const std::int64_t code = test::on_windows() ? 5 : 21;
    EXPECT_EQ(written.error().display(), "installation failed: activate update: " + platform::windows_error_text(code));
    EXPECT_TRUE(fs::is_directory(manifest_path()));
    EXPECT_EQ(test::read_file(temporary_path()), serialize_current_version(example_manifest()).value());
}

class ReadCurrentVersionTest : public WriteCurrentVersionTest {};

TEST_F(ReadCurrentVersionTest, ReadsBackWhatWasWritten) {
    ASSERT_TRUE(write_current_version(manifest_path(), example_manifest()));
    const auto read = read_current_version(manifest_path());
    ASSERT_TRUE(read) << read.error().display();
    EXPECT_EQ(read->schema, 1u);
    EXPECT_EQ(read->version, "2.4.0");
    EXPECT_EQ(read->executable, example_manifest().executable);
    EXPECT_EQ(read->previous_executable, example_manifest().previous_executable);
}

TEST_F(ReadCurrentVersionTest, AcceptedDocuments) {
    struct Case {
        std::string json;
        std::uint32_t schema;
        std::optional<std::string> previous;  // slash-separated
    };
    const std::string exe = R"("executable": "versions\\1.0\\tessaryndle-app.exe")";
    const std::vector<Case> cases = {
        // The schema value is the launcher's concern.
        {R"({"schema": 2, "version": "1.0", )" + exe + "}", 2, std::nullopt},
        {R"({"schema": 4294967295, "version": "1.0", )" + exe + "}", 4294967295u, std::nullopt},
        {R"({"schema": 1, "version": "1.0", )" + exe + R"(, "previous_executable": null})", 1, std::nullopt},
        // Not checked by the agent: only recorded for the launcher.
        {R"({"schema": 1, "version": "1.0", )" + exe + R"(, "previous_executable": "..\\x"})", 1, "../x"},
        {" \r\n\t{\"extra\": [1, {\"a\": null}], \"schema\": 1, \"version\": \"1.0\", " + exe + "} \n", 1,
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        test::write_file(manifest_path(), c.json);
        const auto read = read_current_version(manifest_path());
        ASSERT_TRUE(read) << read.error().display();
        EXPECT_EQ(read->schema, c.schema);
        EXPECT_EQ(read->executable, native_relative("versions/1.0/tessaryndle-app.exe"));
        if (c.previous) {
            EXPECT_EQ(read->previous_executable, native_relative(*c.previous));
        } else {
            EXPECT_FALSE(read->previous_executable);
        }
    }
}

TEST_F(ReadCurrentVersionTest, RefusedDocuments) {
    struct Case {
        std::string json;
        UpdateErrorKind kind;
    };
    const std::string exe = R"("executable": "versions\\1.0\\tessaryndle-app.exe")";
    const std::vector<Case> cases = {
        {"", UpdateErrorKind::Serialization},
        {"\xEF\xBB\xBF{\"schema\": 1, \"version\": \"1.0\", " + exe + "}", UpdateErrorKind::Serialization},
        {R"({"schema": 1, "version": "1.0", )" + exe + "} x", UpdateErrorKind::Serialization},
        {R"({"schema": 1, "schema": 1, "version": "1.0", )" + exe + "}", UpdateErrorKind::Serialization},
        {R"({"schema": 1, )" + exe + "}", UpdateErrorKind::Serialization},
        {R"({"schema": -1, "version": "1.0", )" + exe + "}", UpdateErrorKind::Serialization},
        {R"({"schema": 1.5, "version": "1.0", )" + exe + "}", UpdateErrorKind::Serialization},
        {R"({"schema": 4294967296, "version": "1.0", )" + exe + "}", UpdateErrorKind::Serialization},
        {R"({"schema": 1, "version": 1, )" + exe + "}", UpdateErrorKind::Serialization},
        {R"({"schema": 1, "version": "1.0", )" + exe + R"(, "previous_executable": 3})",
         UpdateErrorKind::Serialization},
        {R"({"schema": 1, "version": "1.0", "executable": "C:\\x\\tessaryndle-app.exe"})",
         UpdateErrorKind::Installation},
        {R"({"schema": 1, "version": "1.0", "executable": "versions\\1.0\\tessaryndle-app"})",
         UpdateErrorKind::Installation},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        test::write_file(manifest_path(), c.json);
        const auto read = read_current_version(manifest_path());
        ASSERT_FALSE(read);
        EXPECT_EQ(read.error().kind(), c.kind) << read.error().display();
        if (c.kind == UpdateErrorKind::Installation) {
            EXPECT_EQ(read.error().display(), "installation failed: current-version executable path is unsafe");
        }
    }
}

TEST_F(ReadCurrentVersionTest, MissingFileIsIoAtThePath) {
    EXPECT_EQ(test::io_error_at(read_current_version(manifest_path())), test::io_at(manifest_path()));
}

#ifdef _WIN32
// The agent replaces the manifest while launchers may be reading it: a reader
// must share deletion, or its open handle would make the replacing rename
// fail. Symmetrically, a manifest already held with delete access (as during
// a rename) can still be read.
TEST_F(ReadCurrentVersionTest, ReadingSharesDeletionWithOtherOpeners) {
    ASSERT_TRUE(write_current_version(manifest_path(), example_manifest()));
    HANDLE held = CreateFileW(manifest_path().c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto read = read_current_version(manifest_path());
    CloseHandle(held);
    ASSERT_TRUE(read) << read.error().display();
    EXPECT_EQ(read->executable, example_manifest().executable);
}
#endif

}  // namespace
}  // namespace tessaryndle
