#include "agent/report.h"

#include "common/constants.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/known_folders.h"

namespace tessaryndle::agent {

std::optional<std::filesystem::path> failure_log_path() {
    auto folder = platform::local_app_data_folder();
    if (!folder) return std::nullopt;
    return *folder / std::string(TRUSTED_APPLICATION_ID) / std::string(FAILURE_LOG_DIRECTORY) /
           std::string(FAILURE_LOG_NAME);
}

void report_failure(const UpdateError& error) {
    // 1. The line for the process that started us; lost when there is no
    //    standard output.
    const std::string text = error.display();
    (void)platform::write_stdout("ERROR:" + text + "\n");
    (void)platform::flush_stdout();

    // 2.-5. The failure log, replaced whole. Each failure here only skips the
    //    rest: reporting must never fail the report. The text goes to a
    //    temporary sibling that is renamed over the log: a link planted at
    //    the log's name is replaced, never written through (the elevated
    //    worker reports here too), and a stale temporary is removed as an
    //    entry first.
    const auto log = failure_log_path();
    if (!log) return;
    if (!platform::create_directories(log->parent_path())) return;
    std::filesystem::path temporary = *log;
    temporary += ".new";
    (void)platform::replace_file_contents(*log, temporary, text, platform::ExistingTemporary::Remove,
                                          platform::RenameKind::Ordinary);
}

}  // namespace tessaryndle::agent
