#include <gtest/gtest.h>

#include "common/update_error.h"
#include "platform/os_error.h"
#include "platform/text.h"

namespace tessaryndle {
namespace {

TEST(UpdateErrorTest, EveryVariantHasItsKindAndFixedText) {
    using enum UpdateErrorKind;
    struct Case {
        UpdateError error;
        UpdateErrorKind kind;
        std::string text;
    };
    const Case cases[] = {
        {UpdateError::cancelled(), Cancelled, "the update operation was cancelled"},
        {UpdateError::invalid_feed("bad feed"), InvalidFeed, "the update feed is invalid: bad feed"},
        {UpdateError::invalid_artifact("x"), InvalidArtifact, "the update artifact is invalid: x"},
        {UpdateError::invalid_signature("signature error"), InvalidSignature,
         "the update signature is invalid: signature error"},
        {UpdateError::wrong_state("busy"), WrongState, "the updater is in the wrong state: busy"},
        {UpdateError::network("timeout"), Network, "network request failed: timeout"},
        {UpdateError::no_artifact_available("win-x64"), NoArtifactAvailable,
         "no update artifact is available for win-x64"},
        {UpdateError::application_not_found("payload"), ApplicationNotFound,
         "failed to find the application inside payload"},
        {UpdateError::io("updater stdout", OsError::custom("broken pipe")), Io,
         "I/O error at updater stdout: broken pipe"},
        {UpdateError::serialization(JsonError{"missing field `url`", 3, 14}), Serialization,
         "serialization failed: missing field `url` at line 3 column 14"},
        {UpdateError::installation("the update run failed"), Installation,
         "installation failed: the update run failed"},
        {UpdateError::authorization_cancelled(), AuthorizationCancelled, "administrator authorization was cancelled"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.error.kind(), c.kind);
        EXPECT_EQ(c.error.display(), c.text);
    }
}

TEST(UpdateErrorTest, JsonPositionIsLeftOutWhenLineIsZero) {
    EXPECT_EQ(UpdateError::serialization(JsonError{"path contains invalid UTF-8 characters", 0, 0}).display(),
              "serialization failed: path contains invalid UTF-8 characters");
    EXPECT_EQ(UpdateError::serialization(JsonError{"EOF while parsing a value", 1, 0}).display(),
              "serialization failed: EOF while parsing a value at line 1 column 0");
}

TEST(UpdateErrorTest, IoShowsSystemMessageAndCode) {
    const auto error = UpdateError::io("plan.json", OsError::from_code(2));
    const std::string expected = "I/O error at plan.json: " + platform::system_message(2) + " (os error 2)";
    EXPECT_EQ(error.display(), expected);
    EXPECT_FALSE(platform::system_message(2).empty());
    EXPECT_NE(platform::system_message(2).back(), '\n');
}

TEST(UpdateErrorTest, PathWithInvalidUnicodeIsShownWithReplacementCharacter) {
    // An unpaired surrogate on Windows, a byte that is not UTF-8 elsewhere.
    using Unit = NativeString::value_type;
    const Unit bad = sizeof(Unit) == 2 ? static_cast<Unit>(0xD800) : static_cast<Unit>(static_cast<char>(0xFF));
    const NativeString native = {static_cast<Unit>('a'), bad, static_cast<Unit>('b')};
    EXPECT_EQ(UpdateError::application_not_found(std::filesystem::path(native)).display(),
              "failed to find the application inside a\xEF\xBF\xBD"
              "b");
}

TEST(WindowsErrorTextTest, ShowsResultCodeInUpperCaseHex) {
    const std::string text = platform::windows_error_text(5);
    EXPECT_TRUE(text.ends_with(" (0x80070005)")) << text;
    EXPECT_EQ(platform::result_code(5), 0x80070005u);
    EXPECT_EQ(platform::result_code(static_cast<std::int64_t>(0x800B0100u)), 0x800B0100u);
    // A code the system has no message for shows only the hexadecimal form.
    EXPECT_EQ(platform::windows_error_text(static_cast<std::int64_t>(0xA0FEDCBAu)), "0xA0FEDCBA");
}

TEST(TextTest, LossyConversionsReplaceWhatCannotBeRepresented) {
    EXPECT_EQ(utf8_lossy("ok"), "ok");
    EXPECT_EQ(utf8_lossy("a\xC3"), "a\xEF\xBF\xBD");
    EXPECT_EQ(utf8_lossy("\xE2\x82\xAC"), "\xE2\x82\xAC");
    EXPECT_EQ(utf8_lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // encoded surrogate
    const std::u16string pair = {0xD83D, 0xDE00};
    EXPECT_EQ(utf16_lossy(std::u16string_view(pair)), "\xF0\x9F\x98\x80");
    const std::u16string lone = {u'x', 0xDC00};
    EXPECT_EQ(utf16_lossy(std::u16string_view(lone)), "x\xEF\xBF\xBD");
    EXPECT_FALSE(utf16_to_utf8(std::wstring{static_cast<wchar_t>(0xD800)}).has_value());
    EXPECT_FALSE(is_valid_utf8("\xC0\x80"));  // overlong
}

}  // namespace
}  // namespace tessaryndle
