#pragma once
// A whole update on disk, as the application would have it just before it
// starts the agent: an installation of version 1 made of the signed programs
// (build/signed-programs: the agent, the launcher and the stand-in
// application, signed by a test PKI), the release-signed archive of version
// 2 (test release key), its payload extracted into the staging directory,
// and a plan template that the stand-in application completes with its own
// process id. Used by the end-to-end tests and by the demo.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "agent/plan/plan.h"

namespace tessaryndle::test {

inline constexpr std::string_view OLD_BUILD = "1.0.0";
inline constexpr std::string_view NEW_BUILD = "2.0.0";

struct UpdateWorldOptions {
    // An extra archive entry whose name climbs out of the destination
    // ("../escaped.txt"); the archive is still release-signed.
    bool unsafe_entry = false;
};

struct UpdateWorld {
    std::filesystem::path root;
    std::filesystem::path install;        // install_target, version 1 active
    std::filesystem::path session;        // where the application writes the plan
    std::filesystem::path staging;        // staging_directory
    std::filesystem::path archive;        // archive_path, outside the session
    std::filesystem::path records;        // the stand-in application's records
    std::filesystem::path plan_template;  // the plan without the application's pid
    InstallPlan plan;                     // what the template holds (parent_pid 0)

    // install/versions/1.0.0/tessaryndle-app.exe: the running application.
    [[nodiscard]] std::filesystem::path application() const;
    [[nodiscard]] std::filesystem::path launcher() const;
    // The agent the application starts: the installed one, which activation
    // then replaces while it runs.
    [[nodiscard]] std::filesystem::path agent() const;
    // Rewrites the template from `plan`.
    void write_template() const;
};

// The signed programs and the root that signed them.
[[nodiscard]] std::filesystem::path signed_programs_dir();
[[nodiscard]] std::filesystem::path signed_programs_root_ca();

// Makes the world below `root` (created). Throws std::runtime_error on
// failure.
[[nodiscard]] UpdateWorld make_update_world(const std::filesystem::path& root, const UpdateWorldOptions& options = {});

// A fresh 48-character nonce, so that concurrent runs never share a
// privileged session directory.
[[nodiscard]] std::string fresh_nonce();

// Writes a ZIP archive of the files below `directory`, entry names relative
// to `parent` with "/" separators, plus `extra` entries (name, content).
void write_zip(const std::filesystem::path& archive, const std::filesystem::path& parent,
               const std::filesystem::path& directory, const std::map<std::string, std::string>& extra = {});

// The build of the current.json of `installation` ("" when unreadable).
[[nodiscard]] std::string current_build(const std::filesystem::path& installation);

// Every path below `root`, relative, "/"-separated, directories with a
// trailing "/", sorted.
[[nodiscard]] std::vector<std::string> listing(const std::filesystem::path& root);

}  // namespace tessaryndle::test
