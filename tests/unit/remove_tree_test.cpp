// The one recursive removal: links inside a tree are removed as entries and
// never followed, whatever they point at.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/remove_tree.h"
#include "platform/tree_walk.h"
#include "tests/support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace tessaryndle {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::write_file;

void make_tree(const fs::path& root) {
    fs::create_directories(root / "a" / "b" / "c");
    fs::create_directories(root / "empty");
    write_file(root / "top.txt", "top");
    write_file(root / "a" / "one.txt", "1");
    write_file(root / "a" / "b" / "c" / "deep.txt", "deep");
}

TEST(RemoveTree, RemovesNestedDirectoriesAndFiles) {
    TempDir dir;
    make_tree(dir / "tree");
    ASSERT_TRUE(platform::remove_tree(dir / "tree"));
    EXPECT_FALSE(fs::exists(dir / "tree"));
}

TEST(RemoveTree, RemovesATreeDeeperThanAnyHandleBudget) {
    TempDir dir;
    fs::path deep = dir / "deep";
    for (int i = 0; i < 40; ++i) deep /= "d";
    fs::create_directories(deep);
    write_file(deep / "bottom.txt", "x");
    ASSERT_TRUE(platform::remove_tree(dir / "deep"));
    EXPECT_FALSE(fs::exists(dir / "deep"));
}

TEST(RemoveTree, LeavesAPlainFileAndFailsForAMissingPath) {
    TempDir dir;
    write_file(dir / "file.txt", "stays");
    const auto file = platform::remove_tree(dir / "file.txt");
    ASSERT_FALSE(file);
    EXPECT_EQ(test::read_file(dir / "file.txt"), "stays");
    EXPECT_FALSE(platform::remove_tree(dir / "missing"));
}

#ifdef _WIN32
TEST(RemoveTree, RemovesReadOnlyFilesAndDirectories) {
    TempDir dir;
    make_tree(dir / "tree");
    ASSERT_TRUE(SetFileAttributesW((dir / "tree" / "a" / "one.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW((dir / "tree" / "a" / "b").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(platform::remove_tree(dir / "tree"));
    EXPECT_FALSE(fs::exists(dir / "tree"));
}
#else
// Links are made natively: Wine cannot create junctions, and its handling of
// Unix links differs from Windows (see below).
TEST(RemoveTree, LinksInsideTheTreeAreRemovedButNeverFollowed) {
    TempDir dir;
    fs::create_directories(dir / "outside" / "sub");
    write_file(dir / "outside" / "keep.txt", "keep");
    write_file(dir / "outside" / "sub" / "keep2.txt", "keep2");
    make_tree(dir / "tree");
    fs::create_directory_symlink(dir / "outside", dir / "tree" / "a" / "to-directory");
    fs::create_directory_symlink(fs::path("../../outside"), dir / "tree" / "a" / "relative-link");
    fs::create_symlink(dir / "outside" / "keep.txt", dir / "tree" / "to-file");
    fs::create_symlink(dir / "nowhere", dir / "tree" / "dangling");

    ASSERT_TRUE(platform::remove_tree(dir / "tree"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "tree")));
    EXPECT_EQ(test::read_file(dir / "outside" / "keep.txt"), "keep");
    EXPECT_EQ(test::read_file(dir / "outside" / "sub" / "keep2.txt"), "keep2");
}

TEST(RemoveTree, ALinkAsTheRootIsRemovedAsALink) {
    TempDir dir;
    fs::create_directories(dir / "target");
    write_file(dir / "target" / "keep.txt", "keep");
    fs::create_directory_symlink(dir / "target", dir / "link");
    ASSERT_TRUE(platform::remove_tree(dir / "link"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "link")));
    EXPECT_EQ(test::read_file(dir / "target" / "keep.txt"), "keep");
}
#endif

TEST(TreeWalk, VisitsEachDirectoryBeforeItsContentsAndReportsLinks) {
    TempDir dir;
    make_tree(dir / "tree");
    bool link_made = false;
    if constexpr (!test::on_windows()) {
        fs::create_directory_symlink(dir / "tree" / "a", dir / "tree" / "link");
        link_made = true;
    }
    platform::TreeWalk walk(dir / "tree");
    std::vector<fs::path> seen;
    int links = 0;
    while (auto item = walk.next()) {
        ASSERT_TRUE(*item) << (*item).error().description();
        const auto& entry = **item;
        if (entry.kind == platform::EntryKind::Link) ++links;
        // The parent of every entry below the root was reported before it.
        if (entry.depth > 0) {
            EXPECT_NE(std::find(seen.begin(), seen.end(), entry.path.parent_path()), seen.end());
        }
        seen.push_back(entry.path);
    }
    EXPECT_EQ(seen.front(), dir / "tree");
    // root, top.txt, a, one.txt, b, c, deep.txt, empty (+ the link, not entered)
    EXPECT_EQ(seen.size(), link_made ? 9u : 8u);
    EXPECT_EQ(links, link_made ? 1 : 0);
}

}  // namespace
}  // namespace tessaryndle
