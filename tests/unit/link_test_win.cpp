// What the Windows build takes for a link. Reparse points that hold data
// (placeholders of synced folders, deduplicated or system-compressed files)
// must pass every check that refuses links, or an update under a synced
// folder fails.

#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"
#include "platform/link_win.h"
#include "platform/remove_tree.h"
#include "platform/tree_walk.h"
#include "platform/win_handle.h"
#include "tests/support/test_support.h"

namespace tessaryndle::platform {
namespace {

TEST(Link, OnlyNameSurrogatesAndTheUntaggedFormAreLinks) {
    const struct {
        const char* name;
        DWORD attributes;
        DWORD tag;
        bool link;
    } cases[] = {
        {"symbolic link", FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_SYMLINK, true},
        {"junction", FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, IO_REPARSE_TAG_MOUNT_POINT, true},
        {"Wine's Unix link (tag 0), or a tag that cannot be read", FILE_ATTRIBUTE_REPARSE_POINT, 0, true},
        {"cloud-file placeholder", FILE_ATTRIBUTE_REPARSE_POINT, 0x9000001A, false},
        {"deduplicated file", FILE_ATTRIBUTE_REPARSE_POINT, 0x80000013, false},
        {"system-compressed file", FILE_ATTRIBUTE_REPARSE_POINT, 0x80000017, false},
        {"a tag without the reparse attribute", FILE_ATTRIBUTE_DIRECTORY, IO_REPARSE_TAG_SYMLINK, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(is_link(c.attributes, c.tag), c.link);
    }
}

// A reparse point with a third-party tag that names no other file stands in
// for the data-holding kinds. Wine cannot set such a tag: the test runs on
// Windows only.
bool set_data_reparse_point(const std::filesystem::path& file) {
    UniqueHandle handle(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.valid()) return false;
    REPARSE_GUID_DATA_BUFFER buffer{};
    buffer.ReparseTag = 0x00000077;  // no name-surrogate bit, owned by nobody
    buffer.ReparseDataLength = 0;
    buffer.ReparseGuid = {0x7e55a7d1, 0x3c2b, 0x4d6a, {0x9b, 0x1e, 0x5a, 0x7c, 0x20, 0x41, 0x66, 0x0d}};
    DWORD returned = 0;
    return DeviceIoControl(handle.get(), FSCTL_SET_REPARSE_POINT, &buffer, REPARSE_GUID_DATA_BUFFER_HEADER_SIZE,
                           nullptr, 0, &returned, nullptr) != FALSE;
}

TEST(Link, AReparsePointThatHoldsDataIsAFileToEveryCheck) {
    test::TempDir temp;
    const auto tree = temp / "tree";
    std::filesystem::create_directories(tree);
    test::write_file(tree / "placeholder.dll", "data");
    if (!set_data_reparse_point(tree / "placeholder.dll")) {
        GTEST_SKIP() << "this system cannot set a third-party reparse tag (Wine cannot)";
    }
    const auto info = file_info_no_follow(tree / "placeholder.dll");
    ASSERT_TRUE(info.has_value());
    EXPECT_FALSE(info->link);
    EXPECT_TRUE(info->regular());
    const auto kind = entry_kind_no_follow(tree / "placeholder.dll");
    ASSERT_TRUE(kind.has_value());
    EXPECT_EQ(*kind, EntryKind::File);
    ASSERT_TRUE(remove_tree(tree).has_value());
    EXPECT_FALSE(std::filesystem::exists(tree));
}

}  // namespace
}  // namespace tessaryndle::platform
