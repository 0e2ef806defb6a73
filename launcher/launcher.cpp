#include "launcher/launcher.h"

#include <filesystem>
#include <string>
#include <vector>

#include "common/constants.h"
#include "common/current_version.h"
#include "launcher/launch_manifest.h"
#include "platform/command_line.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"

namespace tessaryndle::launcher {
namespace {

constexpr std::string_view UNSAFE_PATH = "the active executable path is unsafe";

Result<void> launch() {
    // 1, 2. The manifest lives beside the launcher, wherever it was started
    //       from. The parent is taken textually; nothing is resolved.
    auto own_path = platform::own_executable_path();
    if (!own_path) return fail(UpdateError::io("launcher", own_path.error()));
    const std::filesystem::path directory = own_path->parent_path();
    if (directory.empty() || !own_path->has_filename()) {
        return fail(UpdateError::installation("the launcher has no parent directory"));
    }

    // 3, 4.
    auto manifest = read_launch_manifest(directory / std::string(CURRENT_VERSION_MANIFEST));
    if (!manifest) return fail(std::move(manifest.error()));

    // 5, 6. An unsafe active path is refused outright; falling back to the
    //       previous build would hide a tampered manifest.
    if (manifest->schema != CURRENT_VERSION_SCHEMA) {
        return fail(UpdateError::installation("the active-version manifest schema is unsupported"));
    }
    if (!check_executable_path(manifest->executable)) return fail(UpdateError::installation(std::string(UNSAFE_PATH)));

    // 7. Every argument but the program path, untouched.
    std::vector<NativeString> arguments = platform::command_line_arguments();
    if (!arguments.empty()) arguments.erase(arguments.begin());

    // 8. The reason the active build failed to start is not reported.
    if (platform::start_executable(directory / manifest->executable, arguments)) return {};

    // 9-11. Roll back to the previous build. The manifest stays as it is, so
    //       the next start tries the active build first again.
    if (!manifest->previous_executable) {
        return fail(UpdateError::installation("the active application failed to launch and no rollback is available"));
    }
    if (!check_executable_path(*manifest->previous_executable)) {
        return fail(UpdateError::installation(std::string(UNSAFE_PATH)));
    }
    if (auto started = platform::start_executable(directory / *manifest->previous_executable, arguments); !started) {
        return fail(UpdateError::installation("rollback launch: " + started.error().display()));
    }
    return {};
}

}  // namespace

void write_launch_error_log(const UpdateError& error) {
    (void)platform::write_whole_file(std::filesystem::path(std::string(LAUNCH_ERROR_LOG_NAME)), error.display());
}

int run_launcher() {
    if (auto launched = launch(); !launched) {
        // The launcher has no window: the log is the only trace a user finds.
        write_launch_error_log(launched.error());
        return 1;
    }
    return 0;
}

}  // namespace tessaryndle::launcher
