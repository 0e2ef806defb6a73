// Extraction of update archives through the real operation: names that
// would leave the destination, links, payload search, damaged data, archives
// from other tools and hostile samples. Nothing may ever appear outside the
// destination.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "extraction/extract.h"
#include "platform/text.h"
#include "tests/support/result_text.h"
#include "tests/support/test_support.h"
#include "tests/support/zip_fixtures.h"
#include "tests/support/zip_writer.h"

namespace tessaryndle::extraction {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using test::ZipEntryFields;

constexpr std::uint32_t UNIX_LINK = 0120777u << 16;
constexpr std::uint32_t UNIX_FILE = 0100644u << 16;
constexpr std::uint8_t HOST_DOS = 0;
constexpr std::uint8_t HOST_UNIX = 3;
constexpr std::uint8_t HOST_NTFS = 10;

const std::string APP = "tessaryndle-app.exe";

std::string invalid_artifact(const std::string& text) { return "the update artifact is invalid: " + text; }

ZipEntryFields file(std::string name, std::string data = "data", std::uint16_t flags = 0, std::string extra = {}) {
    ZipEntryFields entry;
    entry.name = std::move(name);
    entry.data = std::move(data);
    entry.flags = flags;
    entry.extra = std::move(extra);
    return entry;
}

// Every entry below `root` as "relative/path" (directories end in "/"),
// leaving out the subtree `except`.
std::set<std::string> listing(const fs::path& root, const fs::path& except) {
    std::set<std::string> names;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        if (it->path() == except) {
            it.disable_recursion_pending();
            continue;
        }
        names.insert(path_display(it->path().lexically_relative(root)) + (it->is_directory() ? "/" : ""));
    }
    return names;
}

class ExtractTest : public ::testing::Test {
protected:
    // The archive's bytes go to the work directory, the extraction into
    // "Extracted" beside it, as the privileged worker lays them out.
    Result<fs::path> extract_bytes(const std::string& bytes) {
        test::write_file(archive_, bytes);
        return extract_update_archive(archive_, destination_, cancel_);
    }
    Result<fs::path> extract(const std::vector<ZipEntryFields>& entries) {
        return extract_bytes(test::make_zip(entries));
    }

    // "root:<payload root relative to the destination, with "/">" or the
    // error text.
    std::string outcome(const Result<fs::path>& result) const {
        if (!result) return result.error().display();
        std::string root = path_display(result->lexically_relative(destination_));
        std::replace(root.begin(), root.end(), '\\', '/');
        return "root:" + root;
    }
    std::string not_found() const { return "failed to find the application inside " + path_display(destination_); }
    std::string content(const std::string& relative) const {
        return test::read_file(destination_ / path_from_utf8(relative));
    }

    test::TempDir work_;
    fs::path archive_ = work_ / "update.zip";
    fs::path destination_ = work_ / "Extracted";
    std::shared_ptr<std::atomic<bool>> cancel_ = std::make_shared<std::atomic<bool>>(false);
};

TEST_F(ExtractTest, UnsafeNamesStopExtractionAfterTheEntriesBeforeThem) {
    const std::vector<std::string> names = {
        "../x.exe",         "a/../../x.exe",    "/x.exe",   "\\x.exe",
        "C:x.exe",          "C:\\x.exe",        "c:/x.exe", "\\\\server\\share\\x.exe",
        "\\\\?\\C:\\x.exe", "\\\\.\\C:\\x.exe", "x\0.exe"s, "a/.. /x.exe",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        fs::remove_all(destination_);
        test::write_file(archive_, test::make_zip({file("good.txt", "good"), file(name, "evil")}));
        const auto before = listing(work_.path(), destination_);
        EXPECT_EQ(outcome(extract_update_archive(archive_, destination_, cancel_)),
                  invalid_artifact("archive contains unsafe path " + name));
        EXPECT_EQ(content("good.txt"), "good");
        EXPECT_EQ(listing(work_.path(), destination_), before);
    }
}

TEST_F(ExtractTest, DotComponentsResolveInsideTheDestination) {
    EXPECT_EQ(outcome(extract({file("a/./b/../c.txt", "c"), file(APP)})), "root:.");
    EXPECT_EQ(content("a/c.txt"), "c");
    EXPECT_FALSE(fs::exists(destination_ / "a" / "b"));
}

TEST_F(ExtractTest, OnlyUnixEntriesWithTheLinkModeAreLinks) {
    const struct {
        std::uint8_t host;
        std::uint32_t attributes;
        bool link;
    } cases[] = {
        {HOST_UNIX, UNIX_LINK, true},
        {HOST_UNIX, 0120755u << 16, true},
        {HOST_UNIX, 0, false},
        {HOST_UNIX, UNIX_FILE, false},
        {HOST_UNIX, 0140755u << 16, false},  // a socket: 0xC000 lacks 0x2000
        {HOST_DOS, UNIX_LINK, false},
        {HOST_DOS, 0x10, false},
        {HOST_NTFS, UNIX_LINK, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.host) + " " + std::to_string(c.attributes));
        fs::remove_all(destination_);
        ZipEntryFields entry = file("pkg/" + APP, "app");
        entry.host_system = c.host;
        entry.external_attributes = c.attributes;
        const std::string result = outcome(extract({entry}));
        if (c.link) {
            EXPECT_EQ(result, invalid_artifact("Windows update archive contains a symbolic link"));
            EXPECT_FALSE(fs::exists(destination_ / "pkg"));
        } else {
            EXPECT_EQ(result, "root:pkg");
            EXPECT_EQ(content("pkg/" + APP), "app");
        }
    }
}

TEST_F(ExtractTest, PayloadRootIsTheApplicationsDirectoryAtDepthOneToFour) {
    const struct {
        std::vector<std::string> names;
        std::optional<std::string> root;  // nullopt: not found
    } cases[] = {
        {{APP}, "."},
        {{"pkg/" + APP}, "pkg"},
        {{"a/b/c/" + APP}, "a/b/c"},
        {{"a/b/c/d/" + APP}, std::nullopt},
        {{"pkg/TESSARYNDLE-APP.EXE"}, "pkg"},
        {{"pkg/" + APP + "/", "pkg/" + APP + "/inner.txt"}, std::nullopt},
        {{"pkg/x" + APP, "pkg/" + APP + ".txt", "pkg/tessaryndle-app"}, std::nullopt},
        {{"a/", "a/b/", "c/"}, std::nullopt},  // directories only
        {{}, std::nullopt},                    // no entries at all
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.names.empty() ? "(empty)" : c.names.back());
        fs::remove_all(destination_);
        std::vector<ZipEntryFields> entries;
        for (const auto& name : c.names) entries.push_back(file(name, name.ends_with('/') ? "" : "x"));
        EXPECT_EQ(outcome(extract(entries)), c.root ? "root:" + *c.root : not_found());
        EXPECT_TRUE(fs::is_directory(destination_));
        if (c.names.size() == 3 && c.names[0] == "a/") {
            EXPECT_TRUE(fs::is_directory(destination_ / "a" / "b"));
        }
    }
}

TEST_F(ExtractTest, ACrcMismatchIsAnIoErrorAtTheTarget) {
    // libzip reports the mismatch only on the read after the last bytes: a
    // copy that stops at a short read would miss it.
    for (const std::size_t size : {std::size_t{0}, std::size_t{5}, std::size_t{20000}}) {
        SCOPED_TRACE(size);
        ZipEntryFields entry = file("pkg/" + APP, std::string(size, 'z'));
        entry.crc = test::crc32_of(entry.data) ^ 1u;
        const auto result = extract({entry});
        EXPECT_EQ(test::io_error_at(result), test::io_at(destination_ / "pkg" / APP));
        EXPECT_NE(outcome(result).find(": Invalid checksum"), std::string::npos) << outcome(result);
    }
}

// An archive of many plainly named entries is written on several threads:
// the outcome must be the one of writing the entries in order, the earliest
// damaged entry's failure with every entry before it written, and when two
// entries name one file (here only in letter case, as Windows sees it) the
// later one wins.
TEST_F(ExtractTest, ManyEntriesGiveTheOutcomeOfWritingThemInOrder) {
    const auto many = [](std::initializer_list<std::size_t> damaged) {
        std::vector<ZipEntryFields> entries{file("pkg/" + APP, "app")};
        for (std::size_t i = 0; i < 200; ++i) {
            entries.push_back(
                file("pkg/d" + std::to_string(i % 7) + "/f" + std::to_string(i), std::string(i * 97, 'x')));
            if (std::find(damaged.begin(), damaged.end(), i) != damaged.end()) {
                entries.back().crc = test::crc32_of(entries.back().data) ^ 1u;
            }
        }
        return entries;
    };
    EXPECT_EQ(outcome(extract(many({}))), "root:pkg");
    for (std::size_t i = 0; i < 200; ++i)
        EXPECT_EQ(content("pkg/d" + std::to_string(i % 7) + "/f" + std::to_string(i)).size(), i * 97);

    fs::remove_all(destination_);
    const auto result = extract(many({150, 120, 199}));
    EXPECT_EQ(test::io_error_at(result), test::io_at(destination_ / "pkg" / "d1" / "f120"));
    EXPECT_NE(outcome(result).find(": Invalid checksum"), std::string::npos) << outcome(result);
    for (std::size_t i = 0; i < 120; ++i)
        EXPECT_EQ(content("pkg/d" + std::to_string(i % 7) + "/f" + std::to_string(i)).size(), i * 97);

    fs::remove_all(destination_);
    auto twice = many({});
    twice.push_back(file("PKG/D0/F0", "later"));
    EXPECT_EQ(outcome(extract(twice)), "root:pkg");
    if (test::on_windows()) {
        EXPECT_EQ(content("pkg/d0/f0"), "later");
    }

    // 65,537 entries without ZIP64 records: the end record's 16-bit count
    // says 1, as Info-ZIP writes it, and every entry is extracted all the
    // same. Most are the directory "pkg/" again (quick to write); a file
    // every 4,096 entries and the application last show that the whole
    // range was.
    fs::remove_all(destination_);
    std::vector<ZipEntryFields> crowd;
    for (std::size_t i = 0; i < 0x10000; ++i) {
        crowd.push_back(i % 4096 == 0 ? file("pkg/f" + std::to_string(i / 4096)) : file("pkg/", ""));
    }
    crowd.push_back(file("pkg/" + APP, "app"));
    EXPECT_EQ(outcome(extract(crowd)), "root:pkg");
    const auto extracted = std::distance(fs::directory_iterator(destination_ / "pkg"), fs::directory_iterator());
    EXPECT_EQ(extracted, 17);
}

TEST_F(ExtractTest, TheCancellationFlagIsLookedAtBeforeEachEntry) {
    cancel_->store(true);
    EXPECT_EQ(outcome(extract({file(APP)})), "the update operation was cancelled");
    EXPECT_TRUE(fs::is_directory(destination_));
    EXPECT_TRUE(fs::is_empty(destination_));
    // Without entries the flag is never looked at.
    EXPECT_EQ(outcome(extract({})), not_found());
    // A caller without a flag never cancels.
    test::write_file(archive_, test::make_zip({file(APP)}));
    EXPECT_EQ(outcome(extract_update_archive(archive_, destination_, nullptr)), "root:.");
}

TEST_F(ExtractTest, EntriesThatCannotBeReadAreRefusedWhenOpened) {
    ZipEntryFields encrypted = file(APP);
    encrypted.flags = 0x0001;
    ZipEntryFields bzip2 = file(APP);
    bzip2.method = 12;
    ZipEntryFields lzma = file(APP);
    lzma.method = 14;
    const struct {
        ZipEntryFields entry;
        std::string text;
    } cases[] = {
        {encrypted, "read ZIP entry: Encryption method not supported"},
        {bzip2, "read ZIP entry: Compression method not supported"},
        {lzma, "read ZIP entry: Compression method not supported"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        fs::remove_all(destination_);
        EXPECT_EQ(outcome(extract({file("first.txt", "1"), c.entry})), invalid_artifact(c.text));
        EXPECT_EQ(content("first.txt"), "1");
    }
    EXPECT_EQ(outcome(extract_bytes("not an archive")), invalid_artifact("open ZIP: Not a zip archive"));
}

TEST_F(ExtractTest, NamesAreUtf8WithTheFlagOtherwiseCodePage437OrTheUnicodePathField) {
    const std::string stored =
        "\x81"
        "ber.txt";  // code page 437 for "über.txt"
    const struct {
        ZipEntryFields entry;
        std::string name;  // as extracted (UTF-8)
    } cases[] = {
        {file(stored, "named"),
         "\xC3\xBC"
         "ber.txt"},
        {file("caf\xC3\xA9.txt", "named", 0x0800), "caf\xC3\xA9.txt"},
        // UTF-8 bytes without the flag are code page 437 all the same.
        {file("caf\xC3\xA9.txt", "named"), "caf\xE2\x94\x9C\xE2\x8C\x90.txt"},
        {file(stored, "named", 0, test::unicode_path_field(stored, "\xE2\x82\xAC.txt")), "\xE2\x82\xAC.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(destination_);
        EXPECT_EQ(outcome(extract({c.entry})), not_found());
        EXPECT_EQ(content(c.name), "named");
    }

    // A Unicode path field that does not belong to the stored name fails
    // the opening: nothing is written.
    fs::remove_all(destination_);
    const ZipEntryFields stale = file("pkg/" + APP, "app", 0, test::unicode_path_field("pkg/other.exe", "pkg/" + APP));
    EXPECT_EQ(outcome(extract({file("first.txt"), stale})),
              invalid_artifact("open ZIP: Unicode path field does not match the stored name of entry pkg/" + APP));
    EXPECT_TRUE(fs::is_empty(destination_));
}

// Archives written by other tools, and the hostile samples of the
// conformance set: the outcome, what was written, and nothing outside.
TEST_F(ExtractTest, ArchivesFromOtherToolsAndHostileSamples) {
    const fs::path fixtures = test::zip_fixtures_directory();
    const fs::path samples = test::source_dir() / "tests" / "conformance" / "zip";
    std::string data;
    for (int i = 0; i < 4000; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "line %05d of the payload\n", i);
        data += line;
    }
    const std::string evil_slash = [] {
        std::string name;
        for (int i = 0; i < 40; ++i) name += "../";
        return name + "tmp/evil.txt";
    }();
    const std::string evil_backslash = [] {
        std::string name;
        for (int i = 0; i < 40; ++i) name += "..\\";
        return name + "Temp\\evil.txt";
    }();
    const std::string data_target = path_display(destination_ / "payload" / "lib" / "data.bin");

    const struct {
        fs::path archive;
        std::string outcome;
        std::vector<std::pair<std::string, std::string>> files;  // written files and contents
    } cases[] = {
        {fixtures / "python.zip", "root:payload", {{"payload/lib/data.bin", data}, {"payload/\xC3\xA9.txt", "accent"}}},
        {fixtures / "7zip.zip", "root:payload", {{"payload/lib/data.bin", data}, {"payload/\xC3\xA9.txt", "accent"}}},
        {fixtures / "infozip.zip",
         "root:payload",
         {{"payload/lib/data.bin", data},
          {"payload/\xE2\x94\x9C\xE2\x8C\x90.txt", "accent"},
          {"cp437/\xC3\xBC"
           "ber.txt",
           "cp437"}}},
        {fixtures / "infozip-zip64.zip", "root:payload", {{"payload/lib/data.bin", data}}},
        {fixtures / "infozip-symlink.zip", invalid_artifact("Windows update archive contains a symbolic link"), {}},
        {fixtures / "infozip-encrypted.zip", invalid_artifact("read ZIP entry: Encryption method not supported"), {}},
        {fixtures / "python-bzip2.zip", invalid_artifact("read ZIP entry: Compression method not supported"), {}},
        {fixtures / "python-wrong-crc.zip", "I/O error at " + data_target + ": Invalid checksum", {}},
        {fixtures / "python-damaged-deflate.zip", "I/O error at " + data_target + ": corrupt deflate stream", {}},
        // 100,000 bytes with their right CRC-32, declared as 99,900.
        {fixtures / "python-wrong-size.zip", "I/O error at " + data_target + ": Zip archive inconsistent", {}},
        {samples / "zip-slip.zip",
         invalid_artifact("archive contains unsafe path " + evil_slash),
         {{"good.txt", "this is a good one\n"}}},
        {samples / "zip-slip-win.zip",
         invalid_artifact("archive contains unsafe path " + evil_backslash),
         {{"good.txt", "this is a good one\n"}}},
        {samples / "zip2-symlink.zip", invalid_artifact("Windows update archive contains a symbolic link"), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(path_display(c.archive.filename()));
        fs::remove_all(destination_);
        test::write_file(archive_, test::read_file(c.archive));
        const auto before = listing(work_.path(), destination_);
        EXPECT_EQ(outcome(extract_update_archive(archive_, destination_, cancel_)), c.outcome);
        for (const auto& [name, bytes] : c.files) EXPECT_EQ(content(name), bytes) << name;
        // Directory entries are created even when empty.
        if (c.outcome == "root:payload") {
            EXPECT_TRUE(fs::is_directory(destination_ / "payload" / "empty"));
        }
        EXPECT_EQ(listing(work_.path(), destination_), before);
    }
}

// Extraction runs elevated: a link, junction or hard link already in the
// destination must never be written through, and nothing is created
// through one. Wine cannot make real Windows links, so this runs natively.
TEST_F(ExtractTest, LinksAlreadyInTheDestinationAreNeverWrittenThrough) {
    if (test::on_windows()) GTEST_SKIP() << "links are tested natively";
    const fs::path outside = work_ / "outside";
    const fs::path victim = outside / "victim.txt";
    const fs::path& dest = destination_;
    enum class Link { File, Directory, Hard };
    const struct {
        const char* what;
        fs::path link;  // planted below the destination, or the destination itself
        Link kind;
        fs::path target;  // outside the destination
        std::vector<ZipEntryFields> entries;
        fs::path failing;  // where the Io error is
    } cases[] = {
        {"file link", dest / "pkg" / APP, Link::File, victim, {file("pkg/" + APP, "new")}, dest / "pkg" / APP},
        {"dangling file link", dest / "new.txt", Link::File, outside / "made.txt", {file("new.txt")}, dest / "new.txt"},
        {"hard link", dest / "pkg" / APP, Link::Hard, victim, {file("pkg/" + APP, "new")}, dest / "pkg" / APP},
        {"parent link", dest / "pkg", Link::Directory, outside, {file("pkg/" + APP)}, dest / "pkg"},
        {"ancestor link", dest / "a" / "b", Link::Directory, outside, {file("a/b/c/x.txt")}, dest / "a" / "b" / "c"},
        {"directory entry", dest / "pkg", Link::Directory, outside, {file("pkg/sub/", "")}, dest / "pkg" / "sub"},
        {"destination link", dest, Link::Directory, outside, {file(APP)}, dest},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dest);
        fs::remove_all(outside);
        fs::create_directories(outside);
        test::write_file(victim, "victim");
        fs::create_directories(c.link.parent_path());
        if (c.kind == Link::File) fs::create_symlink(c.target, c.link);
        if (c.kind == Link::Directory) fs::create_directory_symlink(c.target, c.link);
        if (c.kind == Link::Hard) fs::create_hard_link(c.target, c.link);
        const auto outside_before = listing(outside, fs::path());
        EXPECT_EQ(test::io_error_at(extract(c.entries)), test::io_at(c.failing));
        EXPECT_EQ(test::read_file(victim), "victim");
        EXPECT_EQ(listing(outside, fs::path()), outside_before);
    }

    // The archive itself is opened without following a link.
    fs::remove_all(dest);
    test::write_file(work_ / "real.zip", test::make_zip({file(APP)}));
    fs::remove(archive_);
    fs::create_symlink(work_ / "real.zip", archive_);
    EXPECT_EQ(test::io_error_at(extract_update_archive(archive_, dest, cancel_)), test::io_at(archive_));
}

TEST_F(ExtractTest, ThePayloadSearchDoesNotFollowLinks) {
    if (test::on_windows()) GTEST_SKIP() << "links are tested natively";
    const fs::path elsewhere = work_ / "elsewhere";
    fs::create_directories(elsewhere);
    test::write_file(elsewhere / APP, "app");
    fs::create_directories(destination_ / "pkg");
    fs::create_directory_symlink(elsewhere, destination_ / "linked");
    fs::create_symlink(elsewhere / APP, destination_ / "pkg" / APP);
    EXPECT_EQ(outcome(find_payload_root(destination_)), not_found());
}

}  // namespace
}  // namespace tessaryndle::extraction
