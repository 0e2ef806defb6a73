#include "agent/report.h"

#include <vector>

#include "common/constants.h"
#include "common/install_plan.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/known_folders.h"
#include "platform/private_directory.h"
#include "platform/text.h"

namespace tessaryndle::agent {

std::optional<std::filesystem::path> failure_log_path() {
    auto folder = platform::local_app_data_folder();
    if (!folder) return std::nullopt;
    return *folder / std::string(TRUSTED_APPLICATION_ID) / std::string(FAILURE_LOG_DIRECTORY) /
           std::string(FAILURE_LOG_NAME);
}

void report_failure(const UpdateError& error, FailureLog log) {
    // The line for the process that started us; lost when there is no
    // standard output.
    const std::string text = error.display();
    (void)platform::write_stdout(std::string(AGENT_ERROR_PREFIX) + text + "\n");
    (void)platform::flush_stdout();
    if (log == FailureLog::Skip) return;

    // The failure log, replaced whole. A failure here only skips the rest:
    // reporting must never fail the report. The folder is the user's own,
    // so nothing is written through a link planted there: each folder below the local application data
    // is created or opened without following a link and checked on that
    // handle (a link or junction there skips the log), and the text goes to
    // a temporary sibling that is renamed over the log, which replaces a
    // link at the log's name instead of writing through it.
    // The local application data folder itself is the user's own and
    // followed, as every program of the user's follows it; it is created
    // when missing (a fresh account natively may lack it).
    auto folder = platform::local_app_data_folder();
    if (!folder || !platform::create_directories(*folder)) return;
    const std::vector<std::filesystem::path> names{path_from_utf8(TRUSTED_APPLICATION_ID),
                                                   path_from_utf8(FAILURE_LOG_DIRECTORY)};
    const std::filesystem::path log_name = path_from_utf8(FAILURE_LOG_NAME);
    std::filesystem::path temporary_name = log_name;
    temporary_name += ".new";
    (void)platform::replace_file_below(*folder, names, log_name, temporary_name, text);
}

}  // namespace tessaryndle::agent
