#include "agent/activation.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "agent/authenticode.h"
#include "agent/test_hooks.h"
#include "common/constants.h"
#include "common/current_version.h"
#include "common/path_rules.h"
#include "platform/text.h"
#include "platform/files.h"
#include "platform/os_error.h"
#include "platform/remove_tree.h"
#include "platform/tree_walk.h"

namespace tessaryndle::agent {
namespace {

using Char = std::filesystem::path::value_type;
using NativeView = std::basic_string_view<Char>;

std::filesystem::path name_path(std::string_view ascii) { return std::filesystem::path(std::string(ascii)); }

void after_step(int step) { test_hooks::stop_at("after-step-" + std::to_string(step)); }

// The build directory name an executable path keeps: its second component.
std::optional<NativeString> kept_build_name(const std::filesystem::path& executable) {
    auto components = path_rules::manifest_path_components(executable.native());
    if (components.size() < 2 || !path_rules::is_plain_component(NativeView(components[1]))) return std::nullopt;
    return std::move(components[1]);
}

}  // namespace

bool check_build_identifier(std::string_view build) { return path_rules::is_valid_build_identifier(build); }

Result<void> replace_stable_component(const std::filesystem::path& source, const std::filesystem::path& target) {
    if (auto moved = platform::rename_replace_write_through(source, target); !moved) {
        return fail(UpdateError::installation("replace stable update component " + path_display(target) + ": " +
                                              platform::windows_error_text(moved.error().code)));
    }
    return {};
}

Result<void> copy_staged_tree(const std::filesystem::path& source, const std::filesystem::path& destination) {
    // 1. Depth-first, each directory before its contents, links never
    //    followed; the walk lists each directory whole and closes it before
    //    going on, so it never holds more than one directory handle.
    platform::TreeWalk walk(source);
    bool copied_a_file = false;
    while (auto item = walk.next()) {
        // 2.1
        if (!*item) return fail(UpdateError::installation(item->error().description()));
        const platform::WalkEntry& entry = **item;
        // 2.2
        const auto relative = path_rules::relative_to_prefix(entry.path, source);
        if (!relative) return fail(UpdateError::installation("prefix not found"));
        const std::filesystem::path target = relative->empty() ? destination : destination / *relative;
        switch (entry.kind) {
            // 2.3: a link would let the payload reach outside itself.
            case platform::EntryKind::Link:
                return fail(UpdateError::invalid_artifact("Windows payload contains a symbolic link"));
            // 2.4
            case platform::EntryKind::Directory:
                if (auto made = platform::create_directories(target); !made) {
                    return fail(UpdateError::io(target, made.error()));
                }
                break;
            // 2.5
            case platform::EntryKind::File:
                if (auto copied = platform::copy_file_replace(entry.path, target); !copied) {
                    return fail(UpdateError::io(target, copied.error()));
                }
                if (!copied_a_file) {
                    copied_a_file = true;
                    test_hooks::stop_at("during-copy");
                }
                break;
        }
    }
    // 3. The copy is complete; the payload must not stay behind as a second
    //    copy of the build.
    if (auto removed = platform::remove_tree(source); !removed) return fail(UpdateError::io(source, removed.error()));
    return {};
}

void prune_versions(const std::filesystem::path& version_store, const std::filesystem::path& executable,
                    const std::optional<std::filesystem::path>& previous_executable) {
    // 1.
    std::vector<NativeString> keep;
    if (auto name = kept_build_name(executable)) keep.push_back(std::move(*name));
    if (previous_executable) {
        if (auto name = kept_build_name(*previous_executable)) keep.push_back(std::move(*name));
    }
    // 2.
    auto entries = platform::list_directory(version_store);
    if (!entries) return;
    // 3. A plain file is refused by remove_tree and stays.
    for (const auto& entry : *entries) {
        if (std::find(keep.begin(), keep.end(), entry.name) != keep.end()) continue;
        (void)platform::remove_tree(version_store / entry.name);
    }
}

Result<void> activate_update(const InstallPlan& plan) {
    const std::filesystem::path& target = plan.install_target;
    const std::filesystem::path version_store = target / name_path(VERSIONS_DIRECTORY);
    const std::filesystem::path launcher_name = name_path(LAUNCHER_EXECUTABLE);
    const std::filesystem::path agent_name = name_path(UPDATER_AGENT_EXECUTABLE);
    const std::filesystem::path manifest_path = target / name_path(CURRENT_VERSION_MANIFEST);

    // 1, 2. Only a trusted build goes into a trusted installation.
    if (auto trusted = verify_update_payload(plan.install_source); !trusted) return trusted;
    after_step(1);
    if (auto trusted = verify_installation(target); !trusted) return trusted;
    after_step(2);

    // 3. The build identifier becomes exactly one path component.
    if (!check_build_identifier(plan.build)) {
        return fail(UpdateError::installation("update build identifier is unsafe"));
    }
    const std::filesystem::path build_name = name_path(plan.build);
    const std::filesystem::path version_directory = version_store / build_name;
    const std::filesystem::path new_executable =
        name_path(VERSIONS_DIRECTORY) / build_name / name_path(APPLICATION_EXECUTABLE);
    after_step(3);

    // 4.
    if (auto made = platform::create_directories(version_store); !made) {
        return fail(UpdateError::io(version_store, made.error()));
    }
    after_step(4);

    // 5. A left-over directory of the same build is replaced, but a link or
    //    junction in its place is never followed or deleted.
    if (platform::file_info_follow(version_directory)) {
        auto own = platform::file_info_no_follow(version_directory);
        if (!own) return fail(UpdateError::io(version_directory, own.error()));
        if (!own->directory || (own->reparse_point && own->name_surrogate)) {
            return fail(UpdateError::installation("existing version destination is unsafe"));
        }
        if (auto removed = platform::remove_tree(version_directory); !removed) {
            return fail(UpdateError::io(version_directory, removed.error()));
        }
    }
    after_step(5);

    // 6. A rename when the payload is on the same volume; a copy otherwise.
    if (!platform::rename_replace(plan.install_source, version_directory)) {
        if (auto copied = copy_staged_tree(plan.install_source, version_directory); !copied) return copied;
    }
    after_step(6);

    // 7, 8. The old build stays active: the old manifest still names it, and
    //       the new launcher and agent can start it.
    if (auto replaced = replace_stable_component(version_directory / launcher_name, target / launcher_name);
        !replaced) {
        return replaced;
    }
    after_step(7);
    if (auto replaced = replace_stable_component(version_directory / agent_name, target / agent_name); !replaced) {
        return replaced;
    }
    after_step(8);

    // 9. Whatever stops the old manifest from being read means that there
    //    is nothing to roll back to. One level of history only.
    std::optional<std::filesystem::path> previous_executable;
    if (auto previous = read_current_version(manifest_path)) previous_executable = std::move(previous->executable);
    after_step(9);

    // 10.
    CurrentVersion manifest;
    manifest.schema = CURRENT_VERSION_SCHEMA;
    manifest.version = plan.version;
    manifest.executable = new_executable;
    manifest.previous_executable = std::move(previous_executable);
    after_step(10);

    // 11. Write the manifest last: until this rename the old build stays
    //     active.
    if (auto written = write_current_version(manifest_path, manifest); !written) return written;
    after_step(11);

    // 12.
    prune_versions(version_store, manifest.executable, manifest.previous_executable);
    after_step(12);
    return {};
}

}  // namespace tessaryndle::agent
