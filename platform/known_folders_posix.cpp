#include <cstdlib>

#include "platform/known_folders.h"

namespace tessaryndle::platform {

std::optional<std::filesystem::path> local_app_data_folder() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr) {
        std::filesystem::path path(xdg);
        if (path.is_absolute()) return path;
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') return std::nullopt;
    return std::filesystem::path(home) / ".local" / "share";
}

std::optional<std::filesystem::path> program_data_folder() {
    const char* value = std::getenv("PROGRAMDATA");
    if (value == nullptr) return std::nullopt;
    return std::filesystem::path(value);
}

std::optional<std::filesystem::path> system_program_data_folder() { return program_data_folder(); }

}  // namespace tessaryndle::platform
