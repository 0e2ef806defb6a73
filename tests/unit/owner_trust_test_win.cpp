// Which owners the elevated side trusts with its directories, decided on
// injected owners: Wine keeps no owners (every file shows the current user),
// so only this shows the decision that Windows makes.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/owner_trust_win.h"

namespace tessaryndle::platform {
namespace {

struct WellKnownSid {
    explicit WellKnownSid(WELL_KNOWN_SID_TYPE type) {
        DWORD size = sizeof storage;
        valid = CreateWellKnownSid(type, nullptr, storage, &size) != FALSE;
    }
    PSID get() { return storage; }
    alignas(SID) unsigned char storage[SECURITY_MAX_SID_SIZE]{};
    bool valid = false;
};

TEST(OwnerTrust, OnlyAdministratorsAndSystemUnlessTheCurrentUserIsAccepted) {
    const struct {
        std::string name;
        WELL_KNOWN_SID_TYPE owner;
        bool current_user;
        bool trusted;
    } cases[] = {
        {"Administrators", WinBuiltinAdministratorsSid, false, true},
        {"SYSTEM", WinLocalSystemSid, false, true},
        {"Users", WinBuiltinUsersSid, false, false},
        {"Everyone", WinWorldSid, false, false},
        {"Authenticated Users", WinAuthenticatedUserSid, false, false},
        {"the current user, accepted (test builds under Wine)", WinBuiltinUsersSid, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WellKnownSid sid(c.owner);
        ASSERT_TRUE(sid.valid);
        EXPECT_EQ(is_trusted_owner(sid.get(), c.current_user), c.trusted);
    }
    // A file system that keeps no owners gives none: never trusted.
    EXPECT_FALSE(is_trusted_owner(nullptr, true));
}

}  // namespace
}  // namespace tessaryndle::platform
