#include "agent/plan/plan.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "agent/plan/artifact_url.h"
#include "common/constants.h"
#include "common/strict_json_reader.h"
#include "platform/text.h"
#include "tests/support/plan_fixture.h"
#include "tests/support/result_text.h"
#include "tests/support/test_support.h"

namespace tessaryndle::agent {
namespace {

using test::plan_document;
using test::plan_text;
using test::TempDir;
using test::valid_plan;

std::string parse_failure(const std::string& text) {
    auto plan = parse_install_plan(text);
    if (plan) {
        return "(success)";
    }
    EXPECT_EQ(plan.error().kind(), UpdateErrorKind::Serialization);
    return plan.error().payload_text();
}

TEST(InstallPlanReader, ReadsEveryField) {
    TempDir dir;
    InstallPlan expected = valid_plan(dir.path());
    expected.parent_pid = 4294967295u;
    expected.fallback_progress_delay_ms = 18446744073709551615u;
    expected.artifact.sha256 = "ab12";
    expected.app_name = "T\xC3\xA9ssaryndle \"beta\"";
    auto plan = parse_install_plan(plan_text(expected));
    ASSERT_TRUE(plan) << plan.error().display();
    EXPECT_EQ(plan->schema, 1u);
    // Every member, compared through the plan's document form.
    EXPECT_EQ(plan_document(*plan), plan_document(expected));
}

TEST(InstallPlanReader, AcceptsExtraMembersAndAMissingOrNullDigest) {
    TempDir dir;
    auto document = plan_document(valid_plan(dir.path()));
    document["comment"] = {{"nested", {1, 2, {{"deep", nullptr}}}}};
    document["artifact"]["mirror"] = "https://mirror.example/";
    EXPECT_EQ(parse_failure(plan_text(document)), "(success)");

    document["artifact"].erase("sha256");
    auto without = parse_install_plan(plan_text(document));
    ASSERT_TRUE(without) << without.error().display();
    EXPECT_EQ(without->artifact.sha256, std::nullopt);
}

TEST(InstallPlanReader, ReadsTheArrayForm) {
    TempDir dir;
    const InstallPlan expected = valid_plan(dir.path());
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    const auto document = plan_document(expected);
    for (const auto& [key, value] : document.items()) {
        if (key == "artifact") {
            nlohmann::ordered_json artifact = nlohmann::ordered_json::array();
            for (const auto& [inner_key, inner] : value.items()) {
                artifact.push_back(inner);
            }
            array.push_back(artifact);
        } else {
            array.push_back(value);
        }
    }
    auto plan = parse_install_plan(array.dump());
    ASSERT_TRUE(plan) << plan.error().display();
    EXPECT_EQ(plan->relaunch_path, expected.relaunch_path);
    EXPECT_EQ(plan->fallback_progress_delay_ms, expected.fallback_progress_delay_ms);

    // One member short, pretty-printed: the closing bracket stands alone on
    // the last line, whatever the paths in the lines above.
    array.erase(15);
    EXPECT_EQ(parse_failure(plan_text(array)),
              "invalid length 15, expected struct InstallPlan with 16 elements at line 22 column 1");
    EXPECT_EQ(parse_failure(
                  "[1,\"n\",\"a\",\"i\",\"p\",\"v\",\"b\",\"a\",\"s\",\"i\",\"t\",\"r\",1,\"k\",[\"u\",1,\"s\"],1]"),
              "invalid length 3, expected struct SerializableArtifact with 4 elements at line 1 column 64");
}

TEST(InstallPlanReader, RefusesFaultyDocumentsWithPositions) {
    TempDir dir;
    const auto base = plan_document(valid_plan(dir.path()));
    // The positions are those of the pretty-printed plan: one member a line,
    // "schema" on line 2, "install_target" on 12, "artifact" on 16 (its
    // members on 17-20), "fallback_progress_delay_ms" on 22. The paths of the
    // temporary directory lengthen only lines that no case points into.
    struct Case {
        std::string name;
        nlohmann::ordered_json document;
        std::string expected;
    };
    std::vector<Case> cases;
    auto with = [&](std::string name, auto change, std::string expected) {
        nlohmann::ordered_json document = base;
        change(document);
        cases.push_back({std::move(name), std::move(document), std::move(expected)});
    };
    with(
        "artifact without url", [](auto& d) { d["artifact"].erase("url"); }, "missing field `url` at line 20 column 3");
    with(
        "schema as float", [](auto& d) { d["schema"] = 1.0; },
        "invalid type: floating point `1.0`, expected u32 at line 2 column 15");
    with(
        "schema negative", [](auto& d) { d["schema"] = -1; },
        "invalid value: integer `-1`, expected u32 at line 2 column 14");
    with(
        "schema too large", [](auto& d) { d["schema"] = 4294967296; },
        "invalid value: integer `4294967296`, expected u32 at line 2 column 22");
    with(
        "schema as string", [](auto& d) { d["schema"] = "1"; },
        "invalid type: string \"1\", expected u32 at line 2 column 15");
    with(
        "path as number", [](auto& d) { d["install_target"] = 7; },
        "invalid type: integer `7`, expected path string at line 12 column 21");
    with(
        "artifact as list of one", [](auto& d) { d["artifact"] = {"u"}; },
        "invalid length 1, expected struct SerializableArtifact with 4 elements at line 18 column 3");
    with(
        "artifact as string", [](auto& d) { d["artifact"] = "x"; },
        "invalid type: string \"x\", expected struct SerializableArtifact at line 16 column 17");
    with(
        "schema key in other case",
        [](auto& d) {
            d.erase("schema");
            d["Schema"] = 1;
        },
        "missing field `schema` at line 23 column 1");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parse_failure(plan_text(c.document)), c.expected);
    }

    // Faults a JSON library never writes.
    const std::string text = plan_text(base);
    const std::string twice = "{\n  \"nonce\": \"" + std::string(test::TEST_NONCE) + "\"," + text.substr(1);
    EXPECT_EQ(parse_failure(twice), "duplicate field `nonce` at line 4 column 9");
    std::string huge = text;
    const std::string delay = "\"fallback_progress_delay_ms\": 1500";
    huge.replace(huge.find(delay), delay.size(), "\"fallback_progress_delay_ms\": 18446744073709551616");
    EXPECT_EQ(parse_failure(huge), "invalid value: integer `18446744073709551616`, expected u64 at line 22 column 52");
    EXPECT_EQ(parse_failure(text + "{}"), "trailing characters at line 23 column 2");
    EXPECT_EQ(
        parse_failure("\xEF\xBB\xBF" + text),
        "syntax error while parsing value - unexpected byte order mark; expected '[', '{', or a literal at line 1 "
        "column 1");
}

// --- Loading -----------------------------------------------------------------

TEST(LoadInstallPlan, RefusesWhatIsNotARegularFile) {
    TempDir dir;
    const auto plan = test::write_plan(dir / "session", plan_text(valid_plan(dir.path())));
    const std::string not_regular = "installation failed: install plan is not a regular file";
    struct Case {
        std::string name;
        std::filesystem::path path;
        std::string outcome;
    };
    std::vector<Case> cases = {
        {"a plan file", plan, "ok"},
        {"a directory", dir / "session", not_regular},
        // Serialization errors pass through as they are.
        {"SerializationErrorsPassThrough: an empty file", test::write_plan(dir / "empty", ""),
         "serialization failed: syntax error while parsing value - unexpected end of input; expected '[', '{', "
         "or a literal at line 1 column 0"},
    };
    if (!test::on_windows()) {
        // Under Wine a link to a file looks like the file itself.
        std::filesystem::create_symlink(plan, dir / "link.json");
        cases.push_back({"a link to a plan file", dir / "link.json", not_regular});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(test::outcome(load_install_plan(c.path)), c.outcome);
    }

    auto missing = load_install_plan(dir / "missing.json");
    EXPECT_EQ(test::io_error_at(missing), test::io_at(dir / "missing.json"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().os_error()->code, 2);
}

TEST(LoadInstallPlan, SchemaAndNonceRules) {
    TempDir dir;
    const std::string refused = "installation failed: install plan schema or nonce is invalid";
    struct Case {
        std::string name;
        std::uint32_t schema;
        std::string nonce;
        bool accepted;
    };
    // 48 bytes: `head`, padded with "x" in the middle, then `tail`.
    const auto nonce = [](std::string_view head, std::string_view tail = "") {
        return std::string(head) + std::string(48 - head.size() - tail.size(), 'x') + std::string(tail);
    };
    std::string euros;
    for (int i = 0; i < 16; ++i) euros += "\xE2\x82\xAC";
    const Case cases[] = {
        {"valid", 1, std::string(test::TEST_NONCE), true},
        {"schema 2", 2, std::string(test::TEST_NONCE), false},
        {"schema 0", 0, std::string(test::TEST_NONCE), false},
        {"47 bytes", 1, std::string(47, 'n'), false},
        {"49 bytes", 1, std::string(49, 'n'), false},
        {"16 three-byte characters", 1, euros, true},
        {"inner dots and spaces", 1, std::string(24, '.') + std::string(23, ' ') + "~", true},
        {"device name as a prefix only", 1, nonce("CONSOLE"), true},
        {"COM0 is no device", 1, nonce("COM0."), true},
        // Names that would not stay one plain name.
        {"slash", 1, nonce("a/"), false},
        {"backslash", 1, "..\\..\\..\\..\\Windows\\System32\\x" + std::string(18, 'x'), false},
        {"drive", 1, nonce("C:"), false},
        {"NUL character", 1, nonce(std::string_view("x\0", 2)), false},
        {"dots only", 1, std::string(48, '.'), false},
        // Names Windows would change or open as a device.
        {"trailing dot", 1, nonce("", "."), false},
        {"trailing space", 1, nonce("", " "), false},
        {"dots and spaces only", 1, std::string(24, '.') + std::string(24, ' '), false},
        {"CON with an extension", 1, nonce("CON."), false},
        {"nul in lower case", 1, nonce("nul."), false},
        {"AUX with spaces before the dot", 1, nonce("AUX  ."), false},
        {"PRN", 1, nonce("PRN."), false},
        {"COM1", 1, nonce("COM1."), false},
        {"LPT9", 1, nonce("lpt9."), false},
        {"COM superscript one", 1, nonce("COM\xC2\xB9."), false},
        {"less-than", 1, nonce("<"), false},
        {"asterisk", 1, nonce("*"), false},
        {"question mark", 1, nonce("?"), false},
        {"quote", 1, nonce("\""), false},
        {"pipe", 1, nonce("|"), false},
        {"control character", 1, nonce("\x1f"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.name.ends_with(" bytes") || c.nonce.size() == 48) << c.nonce.size();
        InstallPlan plan = valid_plan(dir.path());
        plan.schema = c.schema;
        plan.nonce = c.nonce;
        const auto path = test::write_plan(dir / "session", plan_text(plan));
        auto loaded = load_install_plan(path);
        if (c.accepted) {
            ASSERT_TRUE(loaded) << loaded.error().display();
            EXPECT_EQ(loaded->nonce, c.nonce);
        } else {
            ASSERT_FALSE(loaded);
            EXPECT_EQ(loaded.error().display(), refused);
        }
    }
}

// --- Trust rule --------------------------------------------------------------

TEST(CheckTrustedRelease, OnlyTheBuiltInIdentityIsTrusted) {
    TempDir dir;
    const std::string untrusted = "installation failed: the install plan does not target a trusted Tessaryndle release";
    const std::string key(TRUSTED_RELEASE_PUBLIC_KEY);
    ASSERT_EQ(key.size(), 44u);
    ASSERT_EQ(key.back(), '=');
    // The same 32 bytes in other Base64 forms: without padding, and with the
    // two unused low bits of the last character set.
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string low_bits = key;
    low_bits[42] = alphabet[alphabet.find(key[42]) | 1];
    ASSERT_NE(low_bits, key);

    struct Case {
        std::string name;
        std::string application_id;
        std::string public_key;
        bool trusted;
    };
    const std::string id(TRUSTED_APPLICATION_ID);
    const Case cases[] = {
        {"built-in identity", id, key, true},
        {"identifier with trailing space", id + " ", key, false},
        {"identifier in other case", "com.Tessaryndle.qm4-link", key, false},
        {"other identifier", "com.example.other", key, false},
        {"key without padding", id, key.substr(0, 43), false},
        {"key with unused bits set", id, low_bits, false},
        {"key with trailing newline", id, key + "\n", false},
        {"empty key", id, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstallPlan plan = valid_plan(dir.path());
        plan.application_id = c.application_id;
        plan.public_key = c.public_key;
        auto checked = check_trusted_release(plan);
        EXPECT_EQ(checked.has_value(), c.trusted);
        if (!checked) {
            EXPECT_EQ(checked.error().display(), untrusted);
        }
    }
}

// --- Artifact URL --------------------------------------------------------------

std::string url_failure(const std::string& url) {
    SerializableArtifact artifact;
    artifact.url = url;
    auto verified = validate_artifact_url(artifact);
    return verified ? "(success)" : verified.error().display();
}

TEST(ValidateArtifactUrl, KeepsTheOtherFieldsAndTheParsedUrl) {
    SerializableArtifact artifact{"HTTPS://Updates.Example.com:443/a/../b.zip", 77, "sig", "hash"};
    auto verified = validate_artifact_url(artifact);
    ASSERT_TRUE(verified) << verified.error().display();
    EXPECT_EQ(verified->url, "https://updates.example.com/b.zip");
    EXPECT_EQ(verified->content_length, 77u);
    EXPECT_EQ(verified->ed25519_signature, "sig");
    EXPECT_EQ(verified->sha256, "hash");
    EXPECT_EQ(url_failure("file:///C:/updates/tessaryndle.zip"), "(success)");
}

// Each description parsing without a base can give, from real inputs. (The
// other three of the parser's ten need a base URL, a setter or a 4 GiB input.)
TEST(ValidateArtifactUrl, NamesWhyAUrlIsRefused) {
    const std::string prefix = "the update artifact is invalid: install plan artifact URL is invalid: ";
    const std::pair<std::string, std::string_view> cases[] = {
        {"tessaryndle-2.4.0.zip", URL_RELATIVE_WITHOUT_BASE},
        {"/updates/a.zip", URL_RELATIVE_WITHOUT_BASE},
        {"", URL_RELATIVE_WITHOUT_BASE},
        {"1http://example.com/", URL_RELATIVE_WITHOUT_BASE},
        {"https://", URL_EMPTY_HOST},
        {"http://user@/a.zip", URL_EMPTY_HOST},
        {"sc://:8080/", URL_EMPTY_HOST},
        {"https://xn--a.example/", URL_INVALID_IDN},
        {"https://ex%F0ample.com/", URL_INVALID_IDN},
        {"https://example.com:65536/", URL_INVALID_PORT},
        {"https://example.com:8o/", URL_INVALID_PORT},
        {"sc://host:-1/", URL_INVALID_PORT},
        {"https://256.0.0.1/", URL_INVALID_IPV4},
        {"http://1.2.3.0x100000000/", URL_INVALID_IPV4},
        {"https://[::1/", URL_INVALID_IPV6},
        {"https://[1:2:3:4:5:6:7:8:9]/", URL_INVALID_IPV6},
        {"sc://[x]/", URL_INVALID_IPV6},
        {"https://exa mple.com/", URL_INVALID_DOMAIN_CHARACTER},
        {"https://ex%3Cample/", URL_INVALID_DOMAIN_CHARACTER},
        {"sc://a<b/", URL_INVALID_DOMAIN_CHARACTER},
        {"file://host:80/a", URL_INVALID_DOMAIN_CHARACTER},
    };
    for (const auto& [url, why] : cases) {
        SCOPED_TRACE(url);
        EXPECT_EQ(url_failure(url), prefix + std::string(why));
    }
}

// The descriptions that parsing without a base cannot produce are still the
// parser's exact texts, byte for byte (a typographic apostrophe, U+2019).
TEST(ValidateArtifactUrl, UnreachableDescriptionsAreExact) {
    EXPECT_EQ(URL_SET_HOST_ON_CANNOT_BE_A_BASE, "a cannot-be-a-base URL doesn\xE2\x80\x99t have a host to set");
    EXPECT_EQ(URL_RELATIVE_WITH_CANNOT_BE_A_BASE_BASE, "relative URL with a cannot-be-a-base base");
    EXPECT_EQ(URL_TOO_LONG, "URLs more than 4 GB are not supported");
}

// web-platform-tests' URL data: every entry without a base URL.
TEST(ValidateArtifactUrl, ConformsToTheUrlTestData) {
    // Entries whose expectation follows rules of the URL Standard that are
    // newer than the ada release this project builds with (2.7.8): domain to
    // ASCII now keeps a label that starts with "xn--" but is not valid
    // Punycode (UTS #46 IgnoreInvalidPunycode), where ada still refuses it.
    const std::string punycode = "label \"xn--...\" that is not valid Punycode is kept by newer rules";
    const std::map<std::string, std::string> exceptions = {
        {"http://a.b.c.xn--pokxncvks", punycode},
        {"http://10.0.0.xn--pokxncvks", punycode},
        {"http://a.b.c.XN--pokxncvks", punycode},
        {"http://a.b.c.Xn--pokxncvks", punycode},
        {"http://10.0.0.XN--pokxncvks", punycode},
        {"http://10.0.0.xN--pokxncvks", punycode},
        {"file://xn--/p", punycode},
        {"https://xn--/", punycode},
    };
    const std::string data = test::read_file(test::source_dir() / "tests" / "conformance" / "url" / "urltestdata.json");
    auto entries = json::parse_value(data);
    ASSERT_TRUE(entries) << entries.error().display();
    const std::set<std::string_view> descriptions = {
        URL_EMPTY_HOST,
        URL_INVALID_IDN,
        URL_INVALID_PORT,
        URL_INVALID_IPV4,
        URL_INVALID_IPV6,
        URL_INVALID_DOMAIN_CHARACTER,
        URL_RELATIVE_WITHOUT_BASE,
    };
    std::size_t checked = 0;
    std::size_t failures = 0;
    std::set<std::string> excepted;
    for (const json::Value& entry : entries->elements) {
        if (entry.kind != json::Kind::Object) {
            continue;  // comments
        }
        const json::Value* base = entry.find("base");
        if (base != nullptr && base->kind != json::Kind::Null) {
            continue;
        }
        const std::string& input = entry.find("input")->text;
        const json::Value* failure = entry.find("failure");
        const bool should_fail = failure != nullptr && failure->boolean;
        SerializableArtifact artifact;
        artifact.url = input;
        auto verified = validate_artifact_url(artifact);
        ++checked;
        if (exceptions.contains(input)) {
            EXPECT_NE(verified.has_value(), !should_fail)
                << "exception no longer needed: " << input << " (" << exceptions.at(input) << ")";
            excepted.insert(input);
            continue;
        }
        if (should_fail) {
            ++failures;
            ASSERT_FALSE(verified) << "accepted: " << input;
            const std::string text = verified.error().payload_text();
            const std::string prefix = "install plan artifact URL is invalid: ";
            ASSERT_TRUE(text.starts_with(prefix)) << text;
            EXPECT_TRUE(descriptions.contains(text.substr(prefix.size()))) << input << " -> " << text;
        } else {
            EXPECT_TRUE(verified) << "refused: " << input << " -> " << verified.error().display();
        }
    }
    EXPECT_EQ(excepted.size(), exceptions.size());
    EXPECT_EQ(checked, 555u);
    EXPECT_GT(failures, 150u);
}

}  // namespace
}  // namespace tessaryndle::agent
