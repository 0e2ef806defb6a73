#pragma once
// Per-user and machine-wide folders.

#include <filesystem>
#include <optional>

namespace tessaryndle::platform {

// The current user's local application data folder: FOLDERID_LocalAppData on
// Windows; elsewhere $XDG_DATA_HOME when it is an absolute path, else
// $HOME/.local/share. nullopt when it cannot be determined.
[[nodiscard]] std::optional<std::filesystem::path> local_app_data_folder();

// The machine-wide program data folder as named by the environment variable
// PROGRAMDATA; nullopt when the variable is unset.
[[nodiscard]] std::optional<std::filesystem::path> program_data_folder();

}  // namespace tessaryndle::platform
