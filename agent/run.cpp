#include "agent/run.h"

#include <optional>
#include <string_view>
#include <utility>

#include "agent/elevation/process.h"
#include "agent/installation/activation.h"
#include "agent/installation/install_result.h"
#include "agent/modes.h"
#include "agent/progress/progress.h"
#include "agent/test_hooks.h"
#include "agent/verification/verify.h"
#include "common/constants.h"
#include "common/install_plan.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/held_process.h"
#include "platform/remove_tree.h"
#include "platform/sleep.h"
#include "platform/working_directory.h"

namespace tessaryndle::agent {

std::filesystem::path install_result_path(const std::filesystem::path& plan_path) {
    std::filesystem::path result = plan_path;
    const std::filesystem::path name{std::string(INSTALL_RESULT_FILE_NAME)};
    if (result.has_filename()) {
        result.replace_filename(name);
    } else {
        result /= name;
    }
    return result;
}

namespace {

std::filesystem::path absolute_or_as_is(const std::filesystem::path& path) {
    if (path.empty() || path.is_absolute()) return path;
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute;
}

}  // namespace

InstallPlan with_absolute_paths(InstallPlan plan) {
    for (std::filesystem::path* path : {&plan.archive_path, &plan.staging_directory, &plan.install_source,
                                        &plan.install_target, &plan.relaunch_path}) {
        *path = absolute_or_as_is(*path);
    }
    return plan;
}

Result<void> check_paths_for_worker(const InstallPlan& plan) {
    const std::pair<std::string_view, const std::filesystem::path*> paths[] = {
        {"archive_path", &plan.archive_path},
        {"staging_directory", &plan.staging_directory},
        {"install_source", &plan.install_source},
        {"install_target", &plan.install_target},
    };
    for (const auto& [member, path] : paths) {
        if (!path->is_absolute()) {
            return fail(UpdateError::installation("the install plan's " + std::string(member) +
                                                  " is a relative path, which an elevated installation cannot use"));
        }
    }
    return {};
}

void clean_up_user_session(const std::filesystem::path& staging_directory, const std::filesystem::path& plan_path) {
    // The staging directory may be reached through a link the application
    // made; only its existence is judged through the link. The removal
    // itself never enters a link: a link named by the plan goes as a link.
    if (auto staging = platform::file_info_follow(staging_directory); staging) {
        static_cast<void>(platform::remove_tree(staging_directory));
    }
    test_hooks::stop_at("after-staging-removed");
    // The plan's directory is the session of this one update: the plan, the
    // worker's result and whatever else the application kept there.
    const std::filesystem::path session = plan_path.parent_path();
    if (!session.empty()) {
        static_cast<void>(platform::remove_tree(session));
    }
    test_hooks::stop_at("after-session-removed");
}

namespace {

// The installation step proper: through the worker when there is one,
// else in this process.
Result<void> install(const InstallPlan& plan, const ElevatedWorker* worker, const std::filesystem::path& result_path) {
    if (worker != nullptr) {
        auto outcome = wait_for_install_result(result_path, test_hooks::install_result_clock(),
                                               [worker] { return worker->has_ended(); });
        // The worker holds the session directory open, without delete
        // sharing, until it ends a moment after its result appeared; the
        // clean-up that follows a success would otherwise meet its handle
        // and leave the session behind. A worker that lingers is not waited
        // for longer than a few seconds.
        for (int waited = 0; waited < 100 && !worker->has_ended(); ++waited) platform::sleep_milliseconds(50);
        return outcome;
    }
    return activate_update(ActivationInputs{plan.install_source, plan.build, plan.version}, plan.install_target);
}

}  // namespace

Result<void> run_install_plan(const std::filesystem::path& plan_path_given) {
    // 1. Load the plan; it is read-only from here on.
    const auto loaded = load_install_plan(plan_path_given);
    if (!loaded) return fail(loaded.error());

    // Relative paths, of the plan and in it, are the application's: they are
    // taken from the directory it started us in, before we leave it. On
    // Windows a process's current directory cannot be renamed or removed
    // while the process stands in it, and this run outlives the application:
    // staying in the application's directory (its session, its build's
    // directory) would keep the clean-up, a later pruning or the application
    // itself from removing it. Nothing after this depends on where we stand.
    const std::filesystem::path plan_path = absolute_or_as_is(plan_path_given);
    const InstallPlan plan = with_absolute_paths(*loaded);
    if (auto steady = platform::steady_directory()) static_cast<void>(platform::set_current_directory(*steady));

    // 2. Refuse a plan for another release line before anything else is
    //    looked at.
    if (auto trusted = check_trusted_release(plan); !trusted) return trusted;

    // 3. Verify the archive, the new build and the existing installation
    //    before anything is decided or changed.
    if (auto verified = verify_install_plan(plan); !verified) return verified;

    // 4.-6. Arrange administrator rights while the application still runs,
    //       so that a consent prompt appears while the user is looking.
    const std::filesystem::path result_path = install_result_path(plan_path);
    const bool elevated = needs_elevation(plan.install_target);
    // The worker waits for the application too, but only after it has
    // copied, verified and extracted the archive, by which time the
    // application has usually exited. Holding a handle to it here until the
    // worker's result is in keeps its identifier valid (and not reused), so
    // the worker's wait finds it ended instead of failing to open it. A
    // failure here shows at the wait below.
    std::optional<platform::HeldProcess> application;
    ElevatedWorker worker;
    if (elevated) {
        // The worker reads the plan file again, in a directory of its own:
        // a relative path in it would name another file there. The plan is
        // the application's, and is never rewritten for the worker.
        if (auto absolute = check_paths_for_worker(*loaded); !absolute) return absolute;
        if (auto held = platform::HeldProcess::open(plan.parent_pid)) application.emplace(std::move(*held));
        auto launched = launch_elevated_worker(plan_path, result_path);
        if (!launched) return fail(launched.error());
        worker = std::move(*launched);
    }

    // 7. From this line on the application may exit; nothing before it has
    //    changed the installation.
    if (!platform::write_stdout(std::string(AGENT_READY_LINE) + "\n") || !platform::flush_stdout()) {
        return fail(UpdateError::io("updater stdout", OsError::last()));
    }

    // 8. No file of the installation is touched while the application runs.
    if (auto exited = wait_for_application_exit(plan.parent_pid); !exited) return exited;

    // 9.-11. The helper shows a window only if the installation takes longer
    //        than the plan's delay, and it is gone before the run goes on,
    //        whatever the installation gave.
    ProgressHelper helper = start_progress_helper(plan);
    const Result<void> installed = install(plan, elevated ? &worker : nullptr, result_path);
    stop_progress_helper(std::move(helper));
    if (!installed) return installed;

    // 12. A failed relaunch leaves the session in place: the new build is
    //     installed, and the application's files show what happened. The
    //     application starts in its installation directory, as from a
    //     shortcut, and not in ours.
    if (auto relaunched = relaunch_application(plan.relaunch_path, plan.install_target); !relaunched) {
        return relaunched;
    }

    // The update is in place and running: the session's files are no longer
    // needed. A plan path without a directory names no session directory to
    // remove, whatever directory it was taken from.
    clean_up_user_session(plan.staging_directory, plan_path_given.has_parent_path() ? plan_path : plan_path_given);
    return {};
}

}  // namespace tessaryndle::agent
