#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "agent/verification/verify.h"
#include "common/constants.h"
#include "tests/support/authenticode_fixture.h"
#include "tests/support/plan_fixture.h"
#include "tests/support/release_signing.h"
#include "tests/support/test_support.h"

namespace tessaryndle::agent {
namespace {

namespace fs = std::filesystem;

std::string outcome(const Result<void>& result) { return result ? "ok" : result.error().display(); }

// A plan whose archive, new build and installation all pass.
class VerifyInstallPlanTest : public ::testing::Test {
protected:
    VerifyInstallPlanTest() {
        test::write_file(plan_.archive_path, "an update archive");
        plan_.artifact = test::release_artifact_for(plan_.archive_path);
        for (const auto name : {APPLICATION_EXECUTABLE, LAUNCHER_EXECUTABLE, UPDATER_AGENT_EXECUTABLE}) {
            put(plan_.install_source, name);
        }
        for (const auto name : {LAUNCHER_EXECUTABLE, UPDATER_AGENT_EXECUTABLE}) put(plan_.install_target, name);
        test::write_file(plan_.install_target / std::string(CURRENT_VERSION_MANIFEST), "{}");
    }

    static void put(const fs::path& directory, std::string_view name) {
        fs::create_directories(directory);
        fs::copy_file(test::authenticode_fixtures().signed_pe, directory / std::string(name));
    }

    test::TrustTestRoot trust_;
    test::TempDir dir_;
    InstallPlan plan_ = test::valid_plan(dir_.path());
};

TEST_F(VerifyInstallPlanTest, AVerifiedPlanPasses) {
    ASSERT_EQ(plan_.public_key, test::test_release_public_key());
    EXPECT_EQ(outcome(verify_install_plan(plan_)), "ok");
}

TEST_F(VerifyInstallPlanTest, TheFirstFailingStepDecides) {
    const std::string payload_missing =
        "the update artifact is invalid: Windows update is missing its application, launcher, or updater agent";
    const std::string installation_missing =
        "installation failed: the Windows installation is missing its launcher, updater agent, or current-version "
        "manifest";

    // Each stage fails while every later one is broken too.
    fs::remove(plan_.install_target / std::string(CURRENT_VERSION_MANIFEST));
    EXPECT_EQ(outcome(verify_install_plan(plan_)), installation_missing);

    fs::remove(plan_.install_source / std::string(LAUNCHER_EXECUTABLE));
    EXPECT_EQ(outcome(verify_install_plan(plan_)), payload_missing);

    plan_.artifact.content_length += 1;
    EXPECT_EQ(outcome(verify_install_plan(plan_)), "the update artifact is invalid: archive is not a regular " +
                                                       std::to_string(plan_.artifact.content_length) + " byte file");

    plan_.artifact.url = "updates.example.com/update.zip";
    EXPECT_TRUE(outcome(verify_install_plan(plan_))
                    .starts_with("the update artifact is invalid: install plan artifact URL is invalid: "))
        << outcome(verify_install_plan(plan_));
}

TEST_F(VerifyInstallPlanTest, ThePlansKeyIsTheOneUsed) {
    // The trust rule has already compared the key with the built-in one; the
    // verification itself uses the plan's text.
    plan_.public_key = test::SigningKey::generate().public_key_base64();
    EXPECT_EQ(outcome(verify_install_plan(plan_)),
              "the update signature is invalid: signature error: Verification equation was not satisfied");
}

}  // namespace
}  // namespace tessaryndle::agent
