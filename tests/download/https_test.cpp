// HTTPS: the server's certificate is checked against the system's trusted
// roots (natively those OpenSSL's settings name; under Wine the prefix's
// store, which WinHTTP reads).

#include <gtest/gtest.h>

#include "client/update_check.h"
#include "tests/support/feed_fixture.h"
#include "tests/support/test_support.h"
#include "tests/support/trusted_roots.h"
#include "tests/support/update_server.h"

namespace tessaryndle::client {
namespace {

TEST(Https, ChecksTheServerAgainstTheTrustedRoots) {
    const auto server = test::running_update_server();
    test::write_file(server.root / "https-feed.json",
                     test::signed_feed_file(test::feed_for("2.0.0", "archive", server.https_url("files", "a.zip")),
                                            test::SigningKey::test_release()));
    const UpdateChannel channel{server.https_url("files", "https-feed.json"), std::string(test::TEST_CHANNEL),
                                std::string(test::TEST_PLATFORM), test::test_release_public_key()};

    test::trust_test_root(server.ca_certificate);
    const auto trusted = check_for_update(channel, "1.0.0");
    ASSERT_TRUE(trusted) << trusted.error().display();
    EXPECT_TRUE(trusted->offer);

    // The system's own roots do not know the test CA, made when the server
    // started. (Natively only: Windows keeps the roots it has read.)
    if (!test::use_system_roots_only()) return;
    const auto untrusted = check_for_update(channel, "1.0.0");
    ASSERT_FALSE(untrusted);
    EXPECT_EQ(untrusted.error().kind(), UpdateErrorKind::Network);
    EXPECT_NE(untrusted.error().display().find("certificate"), std::string::npos) << untrusted.error().display();
}

}  // namespace
}  // namespace tessaryndle::client
