// The release key's file on Windows: a protected DACL with one entry, full
// access for the current user, and never written through an existing entry.

#include <windows.h>

#include <aclapi.h>

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/environment.h"
#include "tests/support/test_support.h"
#include "tools/release/secret_file.h"

namespace tessaryndle::release {
namespace {

namespace fs = std::filesystem;

std::vector<unsigned char> current_user_sid() {
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    EXPECT_TRUE(GetTokenInformation(token, TokenUser, user.data(), size, &size));
    CloseHandle(token);
    const PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    const auto* bytes = static_cast<const unsigned char*>(sid);
    return {bytes, bytes + GetLengthSid(sid)};
}

TEST(SecretFile, HasOneProtectedEntryForTheCurrentUser) {
    test::TempDir dir;
    const fs::path file = dir / "key.pem";
    const auto written = write_secret_file(file, "secret");
    ASSERT_TRUE(written) << written.error().display();
    EXPECT_EQ(test::read_file(file), "secret");

    const auto refused = write_secret_file(file, "new key");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, ERROR_FILE_EXISTS);
    EXPECT_EQ(test::read_file(file), "secret");

    if (test::under_wine()) GTEST_SKIP() << "Wine does not keep the DACL a file is created with";

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                    nullptr, &descriptor),
              ERROR_SUCCESS);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0);
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AceCount, 1);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 0, &ace));
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    const std::vector<unsigned char> user = current_user_sid();
    EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&allowed->SidStart), const_cast<unsigned char*>(user.data())));
    LocalFree(descriptor);
}

}  // namespace
}  // namespace tessaryndle::release
