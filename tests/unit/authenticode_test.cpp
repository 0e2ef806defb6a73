#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "agent/verification/authenticode.h"
#include "platform/text.h"
#include "tests/support/authenticode_fixture.h"
#include "tests/support/environment.h"
#include "tests/support/result_text.h"
#include "tests/support/test_support.h"

namespace tessaryndle::agent {
namespace {

namespace fs = std::filesystem;
using namespace std::string_view_literals;

constexpr std::uint32_t NO_SIGNATURE = 0x800B0100;
constexpr std::uint32_t BAD_DIGEST = 0x80096010;
constexpr std::uint32_t UNTRUSTED_ROOT = 0x800B0109;
constexpr std::uint32_t NOT_A_PE_FILE = 0x800B0003;

using test::outcome;

std::string untrusted_text(const fs::path& file, std::string_view status) {
    return "the update artifact is invalid: " + path_display(file) +
           " does not have a valid Authenticode signature (0x" + std::string(status) + ")";
}

const test::AuthenticodeFixtures& fixtures() { return test::authenticode_fixtures(); }

// Under Wine only what Wine's trust provider reproduces faithfully is
// asserted: an unsigned file gives 0x800b0100 and a file changed after
// signing 0x80096010. Wine accepts a signature whose root is not trusted,
// so neither the untrusted root nor (for the same reason) the trusted test
// root can be told apart there.
TEST(AuthenticodeStatusTest, WhatEveryPlatformReproduces) {
    const test::TrustTestRoot trust;
    EXPECT_EQ(authenticode_status(fixtures().unsigned_pe), NO_SIGNATURE);
    EXPECT_EQ(authenticode_status(fixtures().tampered_pe), BAD_DIGEST);
    EXPECT_NE(authenticode_status(fixtures().directory / "missing.exe"), 0u);
    EXPECT_EQ(outcome(verify_authenticode(fixtures().unsigned_pe)), untrusted_text(fixtures().unsigned_pe, "800b0100"));
    EXPECT_EQ(outcome(verify_authenticode(fixtures().tampered_pe)), untrusted_text(fixtures().tampered_pe, "80096010"));
}

TEST(AuthenticodeStatusTest, NativeVerifierMatchesTheTrustProvider) {
    if (test::on_windows()) GTEST_SKIP() << "the native verifier";
    const test::TrustTestRoot trust;
    EXPECT_EQ(authenticode_status(fixtures().signed_pe), 0u);
    EXPECT_EQ(outcome(verify_authenticode(fixtures().signed_pe)), "ok");
    EXPECT_EQ(authenticode_status(fixtures().untrusted_pe), UNTRUSTED_ROOT);
    EXPECT_EQ(authenticode_status(fixtures().not_pe), NOT_A_PE_FILE);
    const fs::path missing = fixtures().directory / "missing.exe";
    EXPECT_EQ(authenticode_status(missing), 2u);  // ENOENT
    EXPECT_EQ(outcome(verify_authenticode(missing)), untrusted_text(missing, "00000002"));
    EXPECT_EQ(outcome(verify_authenticode(fixtures().untrusted_pe)),
              untrusted_text(fixtures().untrusted_pe, "800b0109"));
}

TEST(AuthenticodeStatusTest, NativeVerifierTrustsOnlyTheConfiguredRoots) {
    if (test::on_windows()) GTEST_SKIP() << "the native verifier";
    // Without the test root in OpenSSL's trust store the same signature is
    // refused: trust comes from the machine, not from the file.
    const test::ScopedEnvironment no_file("SSL_CERT_FILE", std::nullopt);
    const test::ScopedEnvironment no_dir("SSL_CERT_DIR", std::nullopt);
    EXPECT_EQ(authenticode_status(fixtures().signed_pe), UNTRUSTED_ROOT);
}

// Files the native verifier must judge without crashing or reading outside
// them: each gets a non-zero status.
TEST(AuthenticodeStatusTest, NativeVerifierRefusesDamagedFiles) {
    if (test::on_windows()) GTEST_SKIP() << "the native verifier";
    const test::TrustTestRoot trust;
    const std::string signed_bytes = test::read_file(fixtures().signed_pe);
    const std::string unsigned_bytes = test::read_file(fixtures().unsigned_pe);
    const auto patched = [](std::string bytes, std::size_t at, std::string_view with) {
        bytes.replace(at, with.size(), with);
        return bytes;
    };
    // PE32+ header offsets in the fixture: optional header at 0x58, the
    // certificate table's directory entry at 0x58 + 112 + 4 * 8.
    constexpr std::size_t security_entry = 0x58 + 112 + 32;
    const struct {
        const char* name;
        std::string bytes;
        std::uint32_t status;
    } cases[] = {
        {"empty", "", NOT_A_PE_FILE},
        {"only MZ", "MZ", NOT_A_PE_FILE},
        {"PE header beyond the file", patched(unsigned_bytes, 0x3c, "\xff\xff\xff\x7f"sv), NOT_A_PE_FILE},
        {"PE header at the very end", patched(unsigned_bytes, 0x3c, "\xfe\x03\x00\x00"sv), NOT_A_PE_FILE},
        {"bad optional header magic", patched(unsigned_bytes, 0x58, "\x0c\x02"sv), NOT_A_PE_FILE},
        {"optional header larger than the file", patched(unsigned_bytes, 0x54, "\xff\xff"sv), NOT_A_PE_FILE},
        {"signature cut off", signed_bytes.substr(0, signed_bytes.size() - 100), NO_SIGNATURE},
        {"certificate table beyond the file", patched(signed_bytes, security_entry, "\x00\xff\xff\x7f"sv),
         NO_SIGNATURE},
        {"certificate table inside the headers", patched(signed_bytes, security_entry, "\x10\x00\x00\x00"sv),
         NO_SIGNATURE},
        {"certificate entry longer than the table", patched(signed_bytes, 0x400, "\xff\xff\x00\x00"sv), NO_SIGNATURE},
        {"certificate entry of another type", patched(signed_bytes, 0x406, "\x01\x00"sv), NO_SIGNATURE},
        {"garbage instead of PKCS#7", patched(signed_bytes, 0x408, std::string(64, '\x5a')), NO_SIGNATURE},
        {"data appended after signing", signed_bytes + "appended", BAD_DIGEST},
        {"header byte changed after signing", patched(signed_bytes, 0x1f0, "\x01"sv), BAD_DIGEST},
        {"checksum changed after signing", patched(signed_bytes, 0x58 + 64, "\x12\x34"sv), 0},
    };
    test::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir / "damaged.exe";
        test::write_file(file, c.bytes);
        EXPECT_EQ(authenticode_status(file), c.status);
    }
}

// ---- Payload and installation ---------------------------------------------

class FileSetTest : public ::testing::Test {
protected:
    void put(const fs::path& directory, std::string_view name, const fs::path& from) {
        fs::create_directories(directory);
        // Remove first: libstdc++'s overwriting copy fails on Windows.
        fs::remove(directory / std::string(name));
        fs::copy_file(from, directory / std::string(name));
    }
    void signed_payload(const fs::path& directory) {
        put(directory, "tessaryndle-app.exe", fixtures().signed_pe);
        put(directory, "Tessaryndle.exe", fixtures().signed_pe);
        put(directory, "tessaryndle-updater-agent.exe", fixtures().signed_pe);
    }
    void signed_installation(const fs::path& directory) {
        put(directory, "Tessaryndle.exe", fixtures().signed_pe);
        put(directory, "tessaryndle-updater-agent.exe", fixtures().signed_pe);
        fs::create_directories(directory);
        test::write_file(directory / "current.json", "{}");
    }

    test::TrustTestRoot trust_;
    test::TempDir dir_;
    fs::path payload_ = dir_ / "payload";
    fs::path installation_ = dir_ / "installation";
};

const std::string PAYLOAD_MISSING =
    "the update artifact is invalid: Windows update is missing its application, launcher, or updater agent";
const std::string INSTALLATION_MISSING =
    "installation failed: the Windows installation is missing its launcher, updater agent, or current-version "
    "manifest";

TEST_F(FileSetTest, PayloadPresenceIsCheckedBeforeAnySignature) {
    const struct {
        const char* name;
        std::function<void(const fs::path&)> damage;
        std::string message;
    } cases[] = {
        {"SignedSetsPass", [](const fs::path&) {}, "ok"},
        {"launcher missing, application unsigned",
         [&](const fs::path& d) {
             fs::remove(d / "Tessaryndle.exe");
             put(d, "tessaryndle-app.exe", fixtures().unsigned_pe);
         },
         PAYLOAD_MISSING},
        {"application missing", [](const fs::path& d) { fs::remove(d / "tessaryndle-app.exe"); }, PAYLOAD_MISSING},
        {"agent missing, launcher tampered",
         [&](const fs::path& d) {
             fs::remove(d / "tessaryndle-updater-agent.exe");
             put(d, "Tessaryndle.exe", fixtures().tampered_pe);
         },
         PAYLOAD_MISSING},
        {"launcher is a directory",
         [](const fs::path& d) {
             fs::remove(d / "Tessaryndle.exe");
             fs::create_directory(d / "Tessaryndle.exe");
         },
         PAYLOAD_MISSING},
        {"unsigned agent after a signed application and launcher",
         [&](const fs::path& d) { put(d, "tessaryndle-updater-agent.exe", fixtures().unsigned_pe); },
         untrusted_text(payload_ / "tessaryndle-updater-agent.exe", "800b0100")},
        {"application checked first",
         [&](const fs::path& d) {
             put(d, "tessaryndle-app.exe", fixtures().tampered_pe);
             put(d, "Tessaryndle.exe", fixtures().unsigned_pe);
         },
         untrusted_text(payload_ / "tessaryndle-app.exe", "80096010")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(payload_);
        signed_payload(payload_);
        c.damage(payload_);
        EXPECT_EQ(outcome(verify_update_payload(payload_)), c.message);
    }
    fs::remove_all(payload_);
    EXPECT_EQ(outcome(verify_update_payload(payload_)), PAYLOAD_MISSING);
}

TEST_F(FileSetTest, InstallationRules) {
    const struct {
        const char* name;
        std::function<void(const fs::path&)> damage;
        std::string message;
    } cases[] = {
        {"SignedSetsPass", [](const fs::path&) {}, "ok"},
        {"manifest missing, executables signed", [](const fs::path& d) { fs::remove(d / "current.json"); },
         INSTALLATION_MISSING},
        {"manifest missing, launcher unsigned",
         [&](const fs::path& d) {
             fs::remove(d / "current.json");
             put(d, "Tessaryndle.exe", fixtures().unsigned_pe);
         },
         INSTALLATION_MISSING},
        {"manifest is a directory",
         [](const fs::path& d) {
             fs::remove(d / "current.json");
             fs::create_directory(d / "current.json");
         },
         INSTALLATION_MISSING},
        {"agent missing", [](const fs::path& d) { fs::remove(d / "tessaryndle-updater-agent.exe"); },
         INSTALLATION_MISSING},
        {"launcher unsigned", [&](const fs::path& d) { put(d, "Tessaryndle.exe", fixtures().unsigned_pe); },
         untrusted_text(installation_ / "Tessaryndle.exe", "800b0100")},
        {"agent tampered", [&](const fs::path& d) { put(d, "tessaryndle-updater-agent.exe", fixtures().tampered_pe); },
         untrusted_text(installation_ / "tessaryndle-updater-agent.exe", "80096010")},
        // The manifest is not signature-checked and the application is not
        // looked for.
        {"manifest is not a program", [](const fs::path& d) { test::write_file(d / "current.json", "MZ"); }, "ok"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(installation_);
        signed_installation(installation_);
        c.damage(installation_);
        EXPECT_EQ(outcome(verify_installation(installation_)), c.message);
    }
}

TEST_F(FileSetTest, PresenceFollowsLinks) {
    if (test::on_windows()) GTEST_SKIP() << "links are tested natively; Wine's reparse points are unreliable";
    signed_payload(payload_);
    // A link to a signed file counts as present and passes.
    fs::remove(payload_ / "tessaryndle-updater-agent.exe");
    fs::create_symlink(fixtures().signed_pe, payload_ / "tessaryndle-updater-agent.exe");
    EXPECT_EQ(outcome(verify_update_payload(payload_)), "ok");
    // A link to a directory, or a dangling one, does not.
    fs::remove(payload_ / "tessaryndle-updater-agent.exe");
    fs::create_symlink(dir_.path(), payload_ / "tessaryndle-updater-agent.exe");
    EXPECT_EQ(outcome(verify_update_payload(payload_)), PAYLOAD_MISSING);
    fs::remove(payload_ / "tessaryndle-updater-agent.exe");
    fs::create_symlink(dir_ / "nothing", payload_ / "tessaryndle-updater-agent.exe");
    EXPECT_EQ(outcome(verify_update_payload(payload_)), PAYLOAD_MISSING);
}

}  // namespace
}  // namespace tessaryndle::agent
