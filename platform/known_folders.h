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
// PROGRAMDATA; nullopt when the variable is unset. A user can set the
// environment of their own elevated processes: the elevated side takes the
// folder from system_program_data_folder.
[[nodiscard]] std::optional<std::filesystem::path> program_data_folder();

// The machine-wide program data folder as the system knows it, which no
// user can redefine: FOLDERID_ProgramData on Windows. Elsewhere there is no
// such folder of the system's, and the value of PROGRAMDATA stands in for it
// (the tests point it at a folder of their own). nullopt when unknown.
[[nodiscard]] std::optional<std::filesystem::path> system_program_data_folder();

}  // namespace tessaryndle::platform
