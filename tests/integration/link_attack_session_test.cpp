// Links that the user's side plants where the elevated side works. Each row
// puts one symbolic link (or a FIFO) in place, runs the real operation, and
// checks its outcome and that everything the link names is untouched, byte
// for byte. Natively only: Wine cannot make junctions and shows a link to a
// file as the file itself.

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "agent/installation/privileged_session.h"
#include "agent/plan/plan.h"
#include "common/constants.h"
#include "tests/support/agent_runner.h"
#include "tests/support/environment.h"
#include "tests/support/link_swap.h"
#include "tests/support/plan_fixture.h"
#include "tests/support/tree_snapshot.h"

namespace tessaryndle::test {
namespace {

namespace fs = std::filesystem;

// One attack: PROGRAMDATA, the user's session directory with the plan, the
// failure log, and the files outside that a followed link would reach.
struct Scene {
    TempDir program_data;
    TempDir outside;
    TempDir session;
    AgentRunner agent;
    ScopedEnvironment variable{"PROGRAMDATA", program_data.path().string()};
    fs::path application = program_data / std::string(TRUSTED_APPLICATION_ID);
    fs::path updater = application / "Updater";
    fs::path nonce = updater / std::string(TEST_NONCE);
    fs::path plan_path = session / "plan.json";
    InstallPlan plan = valid_plan(session.path());

    Scene() {
        // What a removal through a link at the application folder, at
        // Updater or at the session directory would delete, and files a
        // write through a link would change.
        write_file(outside / "keep.txt", "not the agent's");
        write_plan(outside.path(), plan_text(plan));
        fs::create_directories(outside / "Updater" / std::string(TEST_NONCE));
        write_file(outside / "Updater" / std::string(TEST_NONCE) / "keep.txt", "under Updater");
        fs::create_directories(outside / std::string(TEST_NONCE) / "Extracted");
        write_file(outside / std::string(TEST_NONCE) / "keep.txt", "under the nonce");
    }

    std::string create() const {
        auto made = agent::create_privileged_session_directory(plan);
        return made ? "(created)" : made.error().display();
    }
    // Makes the session, then, while it is held, puts a link to `target` in
    // place of the folder `level` (the folder itself moved aside), and ends
    // the session.
    std::string remove_after_swap(const fs::path& level, const fs::path& target) const {
        auto made = agent::create_privileged_session_directory(plan);
        if (!made) return made.error().display();
        write_file(made->directory.path() / "update.zip", "the worker's copy");
        fs::rename(level, level.string() + ".moved");
        fs::create_directory_symlink(target, level);
        agent::remove_privileged_session(std::move(*made));
        return "(done)";
    }
    std::string run_agent(const std::vector<NativeString>& arguments) const {
        RunOptions options;
        options.arguments = arguments;
        options.environment["XDG_DATA_HOME"] =
            agent.failure_log_path().parent_path().parent_path().parent_path().string();
        options.timeout = std::chrono::seconds(10);
        const RunResult result = run_program(bin_dir() / "tessaryndle-updater-agent.exe", options);
        return result.timed_out ? "(timed out)" : result.stdout_bytes;
    }
};

void link_directory(const fs::path& target, const fs::path& link) {
    fs::create_directories(link.parent_path());
    fs::create_directory_symlink(target, link);
}

TEST(LinkAttack, TheElevatedSideNeverActsThroughAPlantedLink) {
    if (on_windows()) GTEST_SKIP() << "links are tested natively";
    const std::string not_regular = "ERROR:installation failed: install plan is not a regular file\n";
    static const std::string usage = "installation failed: the updater agent requires --install-plan or --execute-plan";
    // The log holds the text under its own name, and `name` is no link.
    const auto log_replaced = [](std::string name) {
        return [name](Scene& s) {
            EXPECT_FALSE(fs::is_symlink(s.agent.failure_log_path().parent_path() / name));
            EXPECT_EQ(s.agent.failure_log(), usage);
        };
    };
    // A link on the way to the log: it stays, and no log is written.
    const auto no_log = [](Scene& s) {
        EXPECT_TRUE(fs::is_symlink(s.agent.failure_log_path().parent_path()) ||
                    fs::is_symlink(s.agent.failure_log_path().parent_path().parent_path()));
        EXPECT_FALSE(fs::exists(fs::symlink_status(s.outside / std::string(FAILURE_LOG_NAME))));
    };
    struct Case {
        std::string name;
        std::function<void(Scene&)> plant;
        std::function<std::string(Scene&)> run;
        std::string outcome;
        std::function<void(Scene&)> also = [](Scene&) {};
    };
    const auto create = [](Scene& s) { return s.create(); };
    const auto nothing = [](Scene&) {};
    const auto no_arguments = [](Scene& s) { return s.run_agent({}); };
    const auto install_plan = [](Scene& s) {
        return s.run_agent({native_args({"--install-plan"})[0], s.plan_path.native()});
    };
    const Case cases[] = {
        // A link where a folder of the chain belongs is moved aside as a
        // link and removed as an entry; the folder is made anew.
        {"create: the application folder is a link", [](Scene& s) { link_directory(s.outside.path(), s.application); },
         create, "(created)", [](Scene& s) { EXPECT_FALSE(fs::is_symlink(s.application)); }},
        {"create: Updater is a link", [](Scene& s) { link_directory(s.outside.path(), s.updater); }, create,
         "(created)", [](Scene& s) { EXPECT_FALSE(fs::is_symlink(s.updater)); }},
        {"create: a left-over session directory is a link",
         [](Scene& s) { link_directory(s.outside / std::string(TEST_NONCE), s.nonce); }, create, "(created)",
         [](Scene& s) {
             EXPECT_FALSE(fs::is_symlink(s.nonce));
             EXPECT_TRUE(fs::is_empty(s.nonce));
         }},
        {"create: a link beside the session directory, where abandoned ones are cleared",
         [](Scene& s) { link_directory(s.outside / std::string(TEST_NONCE), s.updater / "abandoned"); }, create,
         "(created)", [](Scene& s) { EXPECT_TRUE(fs::is_symlink(s.updater / "abandoned")); }},
        // A link swapped in for a level while the session is held: the
        // removal never goes through it.
        {"remove: the application folder becomes a link", nothing,
         [](Scene& s) { return s.remove_after_swap(s.application, s.outside.path()); }, "(done)"},
        {"remove: Updater becomes a link", nothing,
         [](Scene& s) { return s.remove_after_swap(s.updater, s.outside.path()); }, "(done)"},
        {"remove: the session directory becomes a link", nothing,
         [](Scene& s) { return s.remove_after_swap(s.nonce, s.outside / std::string(TEST_NONCE)); }, "(done)",
         [](Scene& s) { EXPECT_FALSE(fs::exists(fs::symlink_status(s.nonce))); }},
        {"the failure log is a link",
         [](Scene& s) {
             fs::create_directories(s.agent.failure_log_path().parent_path());
             fs::create_symlink(s.outside / "keep.txt", s.agent.failure_log_path());
         },
         no_arguments, "ERROR:" + usage + "\n", log_replaced("last-error.log")},
        {"the failure log's temporary name is a link",
         [](Scene& s) {
             fs::create_directories(s.agent.failure_log_path().parent_path());
             fs::create_symlink(s.outside / "keep.txt", s.agent.failure_log_path().string() + ".new");
         },
         no_arguments, "ERROR:" + usage + "\n", log_replaced("last-error.log.new")},
        {"the failure log's folder is a link",
         [](Scene& s) { link_directory(s.outside.path(), s.agent.failure_log_path().parent_path()); }, no_arguments,
         "ERROR:" + usage + "\n", no_log},
        {"the application's folder above the failure log is a link",
         [](Scene& s) { link_directory(s.outside.path(), s.agent.failure_log_path().parent_path().parent_path()); },
         no_arguments, "ERROR:" + usage + "\n", no_log},
        {"the plan is a link to a plan", [](Scene& s) { fs::create_symlink(s.outside / "plan.json", s.plan_path); },
         install_plan, not_regular},
        {"the plan is a FIFO",
         [](Scene& s) {
             RunOptions mkfifo;
             mkfifo.arguments = {s.plan_path.native()};
             ASSERT_EQ(run_program("/usr/bin/mkfifo", mkfifo).exit_status, 0);
         },
         install_plan, not_regular},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scene scene;
        const auto before = tree_snapshot(scene.outside.path());
        c.plant(scene);
        EXPECT_EQ(c.run(scene), c.outcome);
        EXPECT_EQ(tree_snapshot(scene.outside.path()), before);
        c.also(scene);
    }
}

// The plan at its path keeps changing between a plain file and a link to a
// valid plan. The plain file is no plan at all, so a load that succeeds has
// read through the link.
TEST(LinkAttack, APlanSwappedForALinkIsNeverReadThroughIt) {
    if (on_windows()) GTEST_SKIP() << "links are tested natively";
    TempDir dir;
    const fs::path plain = dir / "plain.json";
    write_file(plain, "not a plan");
    const fs::path target = write_plan(dir / "other", plan_text(valid_plan(dir.path())));
    const fs::path plan = dir / "plan.json";
    const int through_link =
        test::successes_while_swapping(plan, plain, target, [&] { return agent::load_install_plan(plan).has_value(); });
    EXPECT_EQ(through_link, 0);
}

}  // namespace
}  // namespace tessaryndle::test
