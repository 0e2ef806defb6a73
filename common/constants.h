#pragma once
// File names and identifiers shared by both programs. The names are the same
// on every platform.

#include <string_view>

namespace tessaryndle {

inline constexpr std::string_view APPLICATION_EXECUTABLE = "tessaryndle-app.exe";
inline constexpr std::string_view LAUNCHER_EXECUTABLE = "Tessaryndle.exe";
inline constexpr std::string_view UPDATER_AGENT_EXECUTABLE = "tessaryndle-updater-agent.exe";
inline constexpr std::string_view CURRENT_VERSION_MANIFEST = "current.json";
inline constexpr std::string_view VERSIONS_DIRECTORY = "versions";
inline constexpr std::string_view INSTALL_RESULT_FILE_NAME = "install-result.json";

// The one release line this agent serves.
inline constexpr std::string_view TRUSTED_APPLICATION_ID = "com.tessaryndle.qm4-link";

// Where the agent keeps its failure log, below the user's local application
// data folder.
inline constexpr std::string_view FAILURE_LOG_DIRECTORY = "Updater";
inline constexpr std::string_view FAILURE_LOG_NAME = "last-error.log";

}  // namespace tessaryndle
