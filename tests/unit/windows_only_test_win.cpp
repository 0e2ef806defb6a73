// What only Windows shows: Wine ignores share modes on directories and keeps
// no access lists, so these run on Windows and skip under Wine with the
// reason. (A running program that cannot be replaced: RunningAgent; owners:
// the private-directory tests.)

#include <windows.h>

#include <aclapi.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/held_directory.h"
#include "platform/private_directory.h"
#include "tests/support/directory_access.h"
#include "tests/support/environment.h"
#include "tests/support/test_support.h"

namespace tessaryndle {
namespace {

namespace fs = std::filesystem;

TEST(WindowsOnly, AHeldDirectoryCannotBeRenamedOrRemoved) {
    if (test::under_wine()) GTEST_SKIP() << "Wine ignores share modes on directories";
    test::TempDir temp;
    fs::create_directories(temp / "held");
    const auto held = platform::HeldDirectory::open_no_follow(temp / "held");
    ASSERT_TRUE(held.has_value());
    EXPECT_FALSE(MoveFileExW((temp / "held").c_str(), (temp / "elsewhere").c_str(), 0));
    EXPECT_FALSE(RemoveDirectoryW((temp / "held").c_str()));
    EXPECT_TRUE(fs::is_directory(temp / "held"));
}

// A build extracted in a private directory keeps that directory's narrow
// access when it is moved; once in place it must get the installation's.
TEST(WindowsOnly, AMovedBuildTakesTheAccessOfItsNewFolder) {
    if (test::under_wine()) GTEST_SKIP() << "Wine keeps no access lists";
    test::TempDir temp;
    const fs::path narrow = temp / "narrow";
    const fs::path wide = temp / "wide";
    fs::create_directories(narrow / "build");
    fs::create_directories(wide);
    test::write_file(narrow / "build" / "app.exe", "program");
    test::write_file(wide / "fresh.exe", "program");

    // The narrow folder: a protected list of one entry, the current user.
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    unsigned char user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)]{};
    DWORD size = sizeof user;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, user, size, &size));
    CloseHandle(token);
    EXPLICIT_ACCESSW entry{};
    entry.grfAccessPermissions = GENERIC_ALL;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
    PACL acl = nullptr;
    ASSERT_EQ(SetEntriesInAclW(1, &entry, nullptr, &acl), ERROR_SUCCESS);
    std::wstring name = narrow.native();
    ASSERT_EQ(SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    acl, nullptr),
              ERROR_SUCCESS);
    LocalFree(acl);

    ASSERT_TRUE(MoveFileExW((narrow / "build").c_str(), (wide / "build").c_str(), 0));
    const std::string fresh = test::directory_access(wide / "fresh.exe");
    ASSERT_NE(test::directory_access(wide / "build" / "app.exe"), fresh) << "the move kept the narrow access";
    ASSERT_TRUE(platform::inherit_access_from_parent(wide / "build").has_value());
    EXPECT_EQ(test::directory_access(wide / "build" / "app.exe"), fresh);
}

}  // namespace
}  // namespace tessaryndle
