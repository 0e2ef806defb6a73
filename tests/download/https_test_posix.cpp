// HTTPS natively: the server's certificate is checked against the trusted
// roots that OpenSSL's settings name.

#include <gtest/gtest.h>

#include <cstdlib>

#include "client/update_check.h"
#include "tests/support/feed_fixture.h"
#include "tests/support/test_support.h"
#include "tests/support/update_server.h"

namespace tessaryndle::client {
namespace {

TEST(Https, TrustsOnlyTheConfiguredRoots) {
    const auto server = test::running_update_server();
    test::write_file(server.root / "https-feed.json",
                     test::signed_feed_file(test::feed_for("2.0.0", "archive", server.https_url("files", "a.zip")),
                                            test::SigningKey::test_release()));
    const UpdateChannel channel{server.https_url("files", "https-feed.json"), std::string(test::TEST_CHANNEL),
                                std::string(test::TEST_PLATFORM), test::test_release_public_key()};

    ::setenv("SSL_CERT_FILE", server.ca_certificate.c_str(), 1);
    const auto trusted = check_for_update(channel, "1.0.0");
    ASSERT_TRUE(trusted) << trusted.error().display();
    EXPECT_TRUE(trusted->offer);

    // The system's own roots do not know the test CA.
    ::unsetenv("SSL_CERT_FILE");
    const auto untrusted = check_for_update(channel, "1.0.0");
    ASSERT_FALSE(untrusted);
    EXPECT_EQ(untrusted.error().kind(), UpdateErrorKind::Network);
    EXPECT_NE(untrusted.error().display().find("certificate"), std::string::npos) << untrusted.error().display();
}

}  // namespace
}  // namespace tessaryndle::client
