#pragma once
// Authenticode test files, made by tests/support/make_authenticode_fixtures.sh
// (see there for the list): a test root CA, a minimal PE image signed by a
// code-signing leaf of that root, the same image unsigned, tampered with
// after signing, and signed under a root that is never trusted, plus a file
// that is not a PE image.
//
// Natively the files are made at test time with openssl and osslsigncode,
// by the first test that needs them, and shared by later test programs of
// the same build (under <build>/test-tmp). A Windows test program under Wine cannot start
// those Linux programs, so the Windows build makes the files on the build
// host into <build>/authenticode-fixtures and the tests read them there.

#include <filesystem>
#include <string>
#include <utility>

#include "tests/support/environment.h"

namespace tessaryndle::test {

struct AuthenticodeFixtures {
    std::filesystem::path directory;
    std::filesystem::path root_ca;       // test-root-ca.pem
    std::filesystem::path signed_pe;     // signed.exe
    std::filesystem::path unsigned_pe;   // unsigned.exe
    std::filesystem::path tampered_pe;   // tampered.exe
    std::filesystem::path untrusted_pe;  // untrusted.exe
    std::filesystem::path not_pe;        // not-pe.exe
};

// The fixture files; throws std::runtime_error when they cannot be made or
// found.
[[nodiscard]] const AuthenticodeFixtures& authenticode_fixtures();

// While alive, OpenSSL's default trust file (SSL_CERT_FILE) is the test
// root CA, so that the native verifier trusts signed.exe; the previous value
// is restored afterwards. Without it the native verifier reports signed.exe
// as 0x800b0109 (untrusted root). Harmless on Windows, whose trust provider
// ignores the variable (and Wine accepts any root).
class TrustTestRoot {
public:
    TrustTestRoot();

private:
    ScopedEnvironment variable_;
};

// The environment additions that make a native child process (the built
// agent) trust the test root in the same way: {"SSL_CERT_FILE", path}.
[[nodiscard]] std::pair<std::string, std::string> trust_test_root_variable();

}  // namespace tessaryndle::test
