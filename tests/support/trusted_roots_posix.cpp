#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/support/trusted_roots.h"

namespace tessaryndle::test {

bool use_system_roots_only() { return ::unsetenv("SSL_CERT_FILE") == 0; }

void trust_test_root(const std::filesystem::path& ca) { ASSERT_EQ(::setenv("SSL_CERT_FILE", ca.c_str(), 1), 0); }

}  // namespace tessaryndle::test
