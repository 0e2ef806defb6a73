#include "tests/support/authenticode_fixture.h"

#include <stdexcept>

#include "tests/support/release_signing.h"
#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

namespace tessaryndle::test {
namespace {

namespace fs = std::filesystem;

AuthenticodeFixtures describe(const std::filesystem::path& directory) {
    AuthenticodeFixtures fixtures;
    fixtures.directory = directory;
    fixtures.root_ca = directory / "test-root-ca.pem";
    fixtures.signed_pe = directory / "signed.exe";
    fixtures.unsigned_pe = directory / "unsigned.exe";
    fixtures.tampered_pe = directory / "tampered.exe";
    fixtures.untrusted_pe = directory / "untrusted.exe";
    fixtures.not_pe = directory / "not-pe.exe";
    return fixtures;
}

void require_complete(const AuthenticodeFixtures& fixtures) {
    for (const auto& file : {fixtures.root_ca, fixtures.signed_pe, fixtures.unsigned_pe, fixtures.tampered_pe,
                             fixtures.untrusted_pe, fixtures.not_pe}) {
        if (!std::filesystem::is_regular_file(file)) {
            throw std::runtime_error("Authenticode fixture missing: " + file.string());
        }
    }
}

bool complete(const AuthenticodeFixtures& fixtures) {
    try {
        require_complete(fixtures);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

AuthenticodeFixtures make_fixtures() {
    if constexpr (on_windows()) {
        AuthenticodeFixtures fixtures = describe(binary_dir() / "authenticode-fixtures");
        require_complete(fixtures);
        return fixtures;
    } else {
        // Made by the first test program that needs them and shared by the
        // others (CTest runs each test in its own process): the directory is
        // named after the script's content, so a changed script makes new
        // files, and it appears under that name only when complete.
        const fs::path script = source_dir() / "tests" / "support" / "make_authenticode_fixtures.sh";
        const std::string version = sha256_hex(read_file(script)).substr(0, 16);
        const fs::path shared = binary_dir() / "test-tmp" / ("authenticode-fixtures-" + version);
        AuthenticodeFixtures fixtures = describe(shared);
        if (complete(fixtures)) return fixtures;

        const TempDir scratch;
        const fs::path made = scratch / "fixtures";
        RunOptions options;
        options.arguments = {script.native(), made.native()};
        options.capture_stdout = false;
        const RunResult result = run_program("/bin/bash", options);
        if (result.exit_status != 0) {
            throw std::runtime_error("make_authenticode_fixtures.sh failed (exit status " +
                                     std::to_string(result.exit_status) + ") " + result.start_error);
        }
        // Another test program may have won the race; its files are as good.
        std::error_code ec;
        fs::rename(made, shared, ec);
        require_complete(fixtures);
        return fixtures;
    }
}

}  // namespace

const AuthenticodeFixtures& authenticode_fixtures() {
    static const AuthenticodeFixtures fixtures = make_fixtures();
    return fixtures;
}

TrustTestRoot::TrustTestRoot() : variable_(trust_test_root_variable().first, trust_test_root_variable().second) {}

std::pair<std::string, std::string> trust_test_root_variable() {
    return {"SSL_CERT_FILE", authenticode_fixtures().root_ca.string()};
}

}  // namespace tessaryndle::test
