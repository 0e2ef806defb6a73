#pragma once
// Which roots the transport trusts in a test: a test CA added where the
// platform's transport looks (natively OpenSSL's SSL_CERT_FILE; on Windows
// the current user's trusted roots, in the test's own Wine prefix).

#include <filesystem>

namespace tessaryndle::test {

// Trusts the CA in the PEM file `ca` from now on. Fails the test when it
// cannot. On Windows call it before the process first checks a
// certificate: the system reads its trusted roots once per process (Wine
// too), and the root stays in the test prefix's store.
void trust_test_root(const std::filesystem::path& ca);

// Goes back to the system's own roots and returns true where a process can
// (natively: SSL_CERT_FILE is removed from its environment); false on
// Windows, where the roots read once stay.
[[nodiscard]] bool use_system_roots_only();

}  // namespace tessaryndle::test
