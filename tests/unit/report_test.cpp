#include <gtest/gtest.h>

#include "agent/report.h"
#include "tests/support/environment.h"
#include "tests/support/test_support.h"

namespace tessaryndle::agent {
namespace {

// Natively the log goes below $XDG_DATA_HOME, pointed at a fresh directory;
// under Wine it is the prefix's own local application data folder.
class ReportFailureTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::on_windows()) {
            xdg_.emplace("XDG_DATA_HOME", data_.path().string());
        }
        auto path = failure_log_path();
        ASSERT_TRUE(path);
        log_ = *path;
        std::error_code ec;
        std::filesystem::remove(log_, ec);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove(log_, ec);
    }

    test::TempDir data_;
    std::optional<test::ScopedEnvironment> xdg_;
    std::filesystem::path log_;
};

TEST_F(ReportFailureTest, LogHoldsOnlyTheLastTextWithoutNewline) {
    if (!test::on_windows()) {
        EXPECT_EQ(log_, data_.path() / "com.tessaryndle.qm4-link" / "Updater" / "last-error.log");
    }
    report_failure(UpdateError::installation("first failure"));
    EXPECT_EQ(test::read_file(log_), "installation failed: first failure");
    report_failure(UpdateError::cancelled());
    EXPECT_EQ(test::read_file(log_), "the update operation was cancelled");
}

TEST_F(ReportFailureTest, LogDirectoryThatCannotBeCreatedIsSkipped) {
    // A file named "Updater" where the directory belongs.
    const auto updater = log_.parent_path();
    std::error_code ec;
    std::filesystem::remove_all(updater, ec);
    std::filesystem::create_directories(updater.parent_path());
    test::write_file(updater, "not a directory");
    report_failure(UpdateError::installation("still reported"));
    EXPECT_EQ(test::read_file(updater), "not a directory");
    std::filesystem::remove(updater);
}

TEST(FailureLogPathTest, RelativeXdgDataHomeFallsBackToHome) {
    if (test::on_windows()) GTEST_SKIP() << "the known folder is used on Windows";
    test::ScopedEnvironment xdg("XDG_DATA_HOME", std::string("relative/dir"));
    test::ScopedEnvironment home("HOME", std::string("/home/someone"));
    EXPECT_EQ(failure_log_path(),
              std::filesystem::path("/home/someone/.local/share/com.tessaryndle.qm4-link/Updater/last-error.log"));
}

}  // namespace
}  // namespace tessaryndle::agent
