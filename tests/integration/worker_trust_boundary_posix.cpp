// The elevated worker against a user with an ordinary account: each row
// prepares what such a user can (links, folders in the program data folder,
// files named in the plan) and, in most rows, re-points a name while the
// worker waits for the application, which is when a user on Windows would
// act (after an opportunistic lock fires). Then nothing outside the
// installation and the worker's own folders may have changed, and the user
// gets a correct install or a clear error. Natively, as root: the worker's
// path logic is the same as on Windows, and only root can give files away.

#include <fcntl.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "common/constants.h"
#include "platform/process.h"
#include "tests/support/agent_runner.h"
#include "tests/support/environment.h"
#include "tests/support/eventually.h"
#include "tests/support/plan_fixture.h"
#include "tests/support/run_program.h"
#include "tests/support/test_support.h"
#include "tests/support/tree_snapshot.h"
#include "tests/support/update_world.h"

namespace tessaryndle::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

void give_to(const fs::path& path, const char* owner, const char* mode) {
    RunOptions chown;
    chown.arguments = native_args({owner, path.string()});
    ASSERT_EQ(run_program("/bin/chown", chown).exit_status, 0);
    RunOptions chmod;
    chmod.arguments = native_args({mode, path.string()});
    ASSERT_EQ(run_program("/bin/chmod", chmod).exit_status, 0);
}

// One attack: an update world, a folder of the user's outside everything the
// worker may touch, and the worker run in execute-plan mode beside a
// stand-in application that runs until it is released.
struct Scene {
    TempDir dir;
    TempDir outside;
    AgentRunner log;
    UpdateWorld world = make_update_world(dir.path());
    fs::path program_data = dir / "ProgramData";
    fs::path updater = program_data / std::string(TRUSTED_APPLICATION_ID) / "Updater";
    fs::path plan_path = world.session / "plan.json";
    fs::path result_path = world.session / std::string(INSTALL_RESULT_FILE_NAME);
    std::map<std::string, std::string> environment{
        {"TESSARYNDLE_STANDIN_RECORD", world.records.string()},
        {"XDG_DATA_HOME", log.failure_log_path().parent_path().parent_path().parent_path().string()},
        {"SSL_CERT_FILE", signed_programs_root_ca().string()},
        {"PROGRAMDATA", program_data.string()},
    };
    bool write_plan = true;
    // Natively the user who started the update is the uid that pkexec
    // reports; their plan is theirs.
    void started_by_nobody() {
        environment["PKEXEC_UID"] = "65534";
        plan_owner = "65534";
    }
    std::optional<std::string> plan_owner;

    Scene() { fs::create_directories(program_data); }

    fs::path session() const { return updater / world.plan.nonce; }
    std::string result() const { return fs::exists(result_path) ? read_file(result_path) : "(no result)"; }

    // Runs the worker; `while_waiting`, when given, runs once the worker has
    // prepared everything and waits for the application.
    RunResult run(const std::function<void()>& while_waiting) {
        const fs::path release = world.records / "release";
        std::optional<platform::ChildProcess> application;
        {
            const ScopedEnvironment records("TESSARYNDLE_STANDIN_RECORD", world.records.string());
            const ScopedEnvironment hold("TESSARYNDLE_STANDIN_HOLD", release.string());
            auto started = platform::start_process_with_null_stdio(world.application(), native_args({"--wait"}));
            if (!started) {
                ADD_FAILURE() << "cannot start the application: " << started.error().display();
                return {};
            }
            application.emplace(std::move(*started));
        }
        world.plan.parent_pid = application->id();
        fs::create_directories(world.session);
        if (write_plan) write_file(plan_path, plan_text(world.plan));
        if (write_plan && plan_owner) give_to(plan_path, plan_owner->c_str(), "0644");
        RunOptions options;
        options.environment = environment;
        options.timeout = 60s;
        options.arguments = {path_from_utf8("--execute-plan").native(), plan_path.native(),
                             path_from_utf8("--result").native(), result_path.native()};
        RunResult result;
        std::thread worker([&] { result = run_program(world.agent(), options); });
        if (while_waiting) {
            if (eventually([&] { return fs::exists(session() / "Extracted" / "payload" / "build.txt"); })) {
                std::this_thread::sleep_for(200ms);
                while_waiting();
            } else {
                ADD_FAILURE() << "the worker never got to wait for the application";
            }
        }
        write_file(release, "");
        worker.join();
        static_cast<void>(application->wait());
        return result;
    }
};

std::string refusal(const std::string& text) { return R"({"error":")" + text + R"(","ok":false})"; }
const std::string OK = R"({"ok":true})";

TEST(WorkerTrustBoundary, NothingAUserRedirectsReachesBeyondTheInstallation) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving files to another user needs root";
    struct Attack {
        std::string name;
        std::function<void(Scene&)> before;
        std::function<void(Scene&)> while_waiting;  // null: nothing while the worker waits
        std::function<void(Scene&)> check;
    };
    const auto installed = [](std::string_view build) {
        return [build](Scene& s) { EXPECT_EQ(current_build(s.world.install), build); };
    };
    const auto installed_genuine = [](Scene& s) {
        EXPECT_EQ(s.result(), OK);
        EXPECT_EQ(current_build(s.world.install), NEW_BUILD);
        EXPECT_FALSE(fs::exists(s.world.install / "versions" / std::string(NEW_BUILD) / "evil.dll"));
    };
    const auto decoy_installation = [](Scene& s) {
        fs::copy(s.world.install, s.outside / "install", fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    };
    const std::string unreadable_archive =
        "installation failed: the update archive is not readable by the user who started the update";
    const Attack attacks[] = {
        {"Updater is swapped for a link to a prepared build while the worker waits", nullptr,
         [](Scene& s) {
             const fs::path prepared = s.outside / "Updater" / s.world.plan.nonce;
             fs::create_directories(prepared);
             fs::copy(s.session() / "Extracted", prepared / "Extracted", fs::copy_options::recursive);
             write_file(prepared / "Extracted" / "payload" / "evil.dll", "not in the signed archive");
             fs::rename(s.updater, s.updater.parent_path() / "Updater.moved");
             fs::create_directory_symlink(s.outside / "Updater", s.updater);
         },
         installed_genuine},
        {"install_target is reached through a link that is re-pointed at a decoy while the worker waits",
         [&](Scene& s) {
             decoy_installation(s);
             fs::create_directory_symlink(s.world.install.parent_path(), s.dir / "via");
             s.world.plan.install_target = s.dir / "via" / s.world.install.filename();
         },
         [](Scene& s) {
             fs::remove(s.dir / "via");
             fs::create_directory_symlink(s.outside.path(), s.dir / "via");
         },
         installed_genuine},
        {"install_target names another installation than the worker's own",
         [&](Scene& s) {
             decoy_installation(s);
             s.world.plan.install_target = s.outside / "install";
         },
         nullptr,
         [&](Scene& s) {
             EXPECT_EQ(s.result(), refusal("installation failed: the install target is not the installation this "
                                           "updater runs from"));
             installed(OLD_BUILD)(s);
         }},
        {"the user's session directory is moved and replaced by a link while the worker waits", nullptr,
         [](Scene& s) {
             fs::rename(s.world.session, s.dir / "session.moved");
             fs::create_directory_symlink(s.outside.path(), s.world.session);
         },
         [](Scene& s) {
             EXPECT_EQ(read_file(s.dir / "session.moved" / std::string(INSTALL_RESULT_FILE_NAME)), OK);
             EXPECT_EQ(current_build(s.world.install), NEW_BUILD);
         }},
        {"a killed worker left the result's temporary behind",
         [](Scene& s) {
             fs::create_directories(s.world.session);
             write_file(s.world.session / "install-result.json.part", "left by a killed worker");
         },
         nullptr,
         [](Scene& s) {
             EXPECT_EQ(s.result(), OK);
             EXPECT_FALSE(fs::exists(s.world.session / "install-result.json.part"));
         }},
        {"the plan and the archive are those of the user who started the update",
         [](Scene& s) {
             s.started_by_nobody();
             give_to(s.world.archive, "65534", "0600");
         },
         nullptr, installed_genuine},
        {"archive_path names the genuine archive, which the user may not read",
         [](Scene& s) {
             s.started_by_nobody();
             give_to(s.world.archive, "0", "0600");
         },
         nullptr,
         [&](Scene& s) {
             EXPECT_EQ(s.result(), refusal(unreadable_archive));
             installed(OLD_BUILD)(s);
         }},
        {"archive_path names a secret of the announced length, which the user may not read",
         [](Scene& s) {
             s.started_by_nobody();
             const fs::path secret = s.outside / "secret";
             write_file(secret, std::string(fs::file_size(s.world.archive), 's'));
             give_to(secret, "0", "0600");
             s.world.plan.archive_path = secret;
         },
         nullptr, [&](Scene& s) { EXPECT_EQ(s.result(), refusal(unreadable_archive)); }},
        {"the plan is a secret the user may not read",
         [](Scene& s) {
             s.started_by_nobody();
             fs::create_directories(s.world.session);
             write_file(s.plan_path, "SECRET: not a plan");
             give_to(s.plan_path, "0", "0600");
             s.write_plan = false;
         },
         nullptr,
         [](Scene& s) {
             EXPECT_EQ(s.result(), refusal("installation failed: the install plan is not readable by the user who "
                                           "started the update"));
         }},
        {"archive_path names a FIFO that nobody writes",
         [](Scene& s) {
             const fs::path fifo = s.outside / "archive.zip";
             ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
             s.world.plan.archive_path = fifo;
         },
         nullptr,
         [](Scene& s) {
             EXPECT_EQ(s.result(), refusal("I/O error at " + (s.outside / "archive.zip").string() +
                                           ": Invalid argument (os error 22)"));
         }},
        {"a user made the application's folder in ProgramData first",
         [](Scene& s) {
             fs::create_directories(s.updater.parent_path());
             give_to(s.updater.parent_path(), "4242", "0777");
         },
         nullptr,
         [](Scene& s) {
             EXPECT_EQ(s.result(), OK);
             for (const auto& entry : fs::recursive_directory_iterator(s.program_data)) {
                 struct stat st {};
                 ASSERT_EQ(::lstat(entry.path().c_str(), &st), 0);
                 EXPECT_NE(st.st_uid, 4242u) << entry.path() << " is still the user's";
             }
         }},
        {"a user put a link where Updater belongs",
         [](Scene& s) {
             fs::create_directories(s.updater.parent_path());
             fs::create_directory_symlink(s.outside.path(), s.updater);
         },
         nullptr, [](Scene& s) { EXPECT_EQ(s.result(), OK); }},
        {"another worker still uses a session directory of the same nonce",
         [](Scene& s) {
             fs::create_directories(s.session());
             write_file(s.session() / "update.zip", "in use");
             const int fd = ::open(s.session().c_str(), O_RDONLY | O_DIRECTORY);
             ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);  // closed with the test process
         },
         nullptr,
         [](Scene& s) {
             EXPECT_EQ(read_file(s.session() / "update.zip"), "in use");
             EXPECT_EQ(current_build(s.world.install), OLD_BUILD);
             EXPECT_NE(s.result().find("Resource temporarily unavailable"), std::string::npos) << s.result();
         }},
        {"a worker is still making its session directory beside",
         [](Scene& s) {
             fs::create_directories(s.updater / "just-made");
             write_file(s.updater / "just-made" / "update.zip", "being copied");
         },
         nullptr,
         [](Scene& s) {
             EXPECT_EQ(s.result(), OK);
             EXPECT_EQ(read_file(s.updater / "just-made" / "update.zip"), "being copied");
         }},
    };
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        Scene scene;
        if (attack.before) attack.before(scene);
        std::map<std::string, std::string> outside_before = tree_snapshot(scene.outside.path());
        std::function<void()> act;
        if (attack.while_waiting) {
            act = [&] {
                attack.while_waiting(scene);
                outside_before = tree_snapshot(scene.outside.path());
            };
        }
        const RunResult result = scene.run(act);
        EXPECT_FALSE(result.timed_out);
        attack.check(scene);
        EXPECT_EQ(tree_snapshot(scene.outside.path()), outside_before) << "the worker changed the user's folder";
    }
}

}  // namespace
}  // namespace tessaryndle::test
