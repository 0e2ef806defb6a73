#include "agent/verification/authenticode.h"

#include <array>
#include <cstdio>
#include <string>

#include "common/constants.h"
#include "platform/files.h"
#include "platform/text.h"

namespace tessaryndle::agent {
namespace {

// Present: the path names, after following links, something that is neither
// a directory nor a name-surrogate reparse point. A failed query (absent,
// unreadable) is simply "not present".
bool present(const std::filesystem::path& path) {
    const auto info = platform::file_info_follow(path);
    return info && info->regular();
}

std::filesystem::path member(const std::filesystem::path& directory, std::string_view name) {
    return directory / path_from_utf8(name);
}

}  // namespace

Result<void> verify_authenticode(const std::filesystem::path& file) {
    const std::uint32_t status = authenticode_status(file);
    if (status == 0) return {};
    std::array<char, 9> hex{};
    std::snprintf(hex.data(), hex.size(), "%08x", static_cast<unsigned>(status));
    return fail(UpdateError::invalid_artifact(path_display(file) + " does not have a valid Authenticode signature (0x" +
                                              hex.data() + ")"));
}

Result<void> verify_update_payload(const std::filesystem::path& directory) {
    const std::array files = {member(directory, APPLICATION_EXECUTABLE), member(directory, LAUNCHER_EXECUTABLE),
                              member(directory, UPDATER_AGENT_EXECUTABLE)};
    // Every file's presence first, so a missing one is reported even when
    // another one is unsigned.
    for (const auto& file : files) {
        if (!present(file)) {
            return fail(
                UpdateError::invalid_artifact("Windows update is missing its application, launcher, or updater agent"));
        }
    }
    for (const auto& file : files) {
        if (auto trusted = verify_authenticode(file); !trusted) return trusted;
    }
    return {};
}

Result<void> verify_installation(const std::filesystem::path& directory) {
    const std::array executables = {member(directory, LAUNCHER_EXECUTABLE),
                                    member(directory, UPDATER_AGENT_EXECUTABLE)};
    const std::filesystem::path manifest = member(directory, CURRENT_VERSION_MANIFEST);
    for (const auto& file : {executables[0], executables[1], manifest}) {
        if (!present(file)) {
            return fail(UpdateError::installation(
                "the Windows installation is missing its launcher, updater agent, or current-version manifest"));
        }
    }
    // The manifest is data, not code: it is not signature-checked.
    for (const auto& file : executables) {
        if (auto trusted = verify_authenticode(file); !trusted) return trusted;
    }
    return {};
}

}  // namespace tessaryndle::agent
