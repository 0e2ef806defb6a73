#include "agent/installation/privileged_session.h"

#include <optional>
#include <string>
#include <vector>

#include "common/path_rules.h"
#include "platform/known_folders.h"
#include "platform/private_directory.h"
#include "platform/text.h"

namespace tessaryndle::agent {
namespace {

// The worker's session directories live in %PROGRAMDATA%\{application_id}\Updater.
constexpr std::string_view SESSION_ROOT_NAME = "Updater";
constexpr std::string_view UNSAFE = "the privileged session directory is unsafe";

// PROGRAMDATA, when it names an absolute path: a relative one would put the
// directory wherever the worker happens to run.
std::optional<std::filesystem::path> program_data() {
    auto folder = platform::program_data_folder();
    if (!folder || !folder->is_absolute()) return std::nullopt;
    return folder;
}

}  // namespace

Result<PrivilegedSession> create_privileged_session_directory(const InstallPlan& plan) {
    // The root is the system's folder. PROGRAMDATA is read only to keep the
    // rule that a worker without it does nothing, and must name that same
    // folder: a user sets the environment of their own elevated processes.
    const auto named = program_data();
    const auto base = platform::system_program_data_folder();
    if (!named || !base || !base->is_absolute()) return fail(UpdateError::installation("ProgramData is unavailable"));
    const auto system_folder = platform::HeldDirectory::open_no_follow(*base);
    const auto named_folder = platform::HeldDirectory::open_no_follow(*named);
    if (!system_folder) return fail(UpdateError::io(*base, system_folder.error()));
    const auto same = named_folder ? named_folder->same_directory_as(*system_folder) : platform::OsResult<bool>(false);
    if (!same || !*same) {
        return fail(UpdateError::installation("PROGRAMDATA does not name the system's program data folder"));
    }
    // A loaded plan's nonce already keeps to these rules, and only the
    // trusted identifier gets this far; checked here all the same, since each
    // must stay exactly one directory name whoever calls this.
    for (const std::string& name : {plan.application_id, plan.nonce}) {
        if (!path_rules::is_plain_component(name) || !path_rules::is_stable_windows_name(name)) {
            return fail(UpdateError::installation(std::string(UNSAFE)));
        }
    }
    std::vector<std::filesystem::path> names{path_from_utf8(plan.application_id), path_from_utf8(SESSION_ROOT_NAME),
                                             path_from_utf8(plan.nonce)};
    const std::filesystem::path session = *base / names[0] / names[1] / names[2];
    auto made = platform::create_private_directory(*base, names);
    if (!made) {
        if (made.error().unsafe) return fail(UpdateError::installation(std::string(UNSAFE)));
        return fail(UpdateError::io(session, made.error().error));
    }
    static_cast<void>(platform::remove_abandoned_private_directories(*base, {names[0], names[1]}, names[2]));
    return PrivilegedSession{std::move(made->directory), std::move(made->in_use), *base, std::move(names)};
}

void remove_privileged_session(PrivilegedSession session) {
    // Both close first: on Windows either would keep the directory from
    // being removed.
    const std::filesystem::path base = std::move(session.base);
    const std::vector<std::filesystem::path> names = std::move(session.names);
    { const PrivilegedSession closing = std::move(session); }
    static_cast<void>(platform::remove_private_directory(base, names));
}

}  // namespace tessaryndle::agent
