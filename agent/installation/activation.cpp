#include "agent/installation/activation.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "agent/test_hooks.h"
#include "agent/verification/authenticode.h"
#include "common/constants.h"
#include "common/current_version.h"
#include "common/path_rules.h"
#include "platform/files.h"
#include "platform/os_error.h"
#include "platform/pinned_directory.h"
#include "platform/private_directory.h"
#include "platform/remove_tree.h"
#include "platform/text.h"
#include "platform/tree_walk.h"

namespace tessaryndle::agent {
namespace {

using Char = std::filesystem::path::value_type;
using NativeView = std::basic_string_view<Char>;

std::filesystem::path name_path(std::string_view ascii) { return std::filesystem::path(std::string(ascii)); }

// Names that stand in for a build directory or a stable component while it
// is being replaced. "~" never appears in a build identifier, so these names
// never collide with a build, and pruning removes them with every other name
// that is neither the current nor the previous build.
constexpr std::string_view INCOMING_SUFFIX = "~new";
constexpr std::string_view REPLACED_SUFFIX = "~old";

std::filesystem::path with_suffix(const std::filesystem::path& path, std::string_view suffix) {
    std::filesystem::path result = path;
    result += name_path(suffix);
    return result;
}

// The hidden sibling to which a stable component that cannot be replaced in
// place (a running program) is moved: ".{name}~old".
std::filesystem::path set_aside_path(const std::filesystem::path& component) {
    std::filesystem::path name = name_path(".");
    name += component.filename();
    name += name_path(REPLACED_SUFFIX);
    return component.parent_path() / name;
}

UpdateError unsafe_destination() { return UpdateError::installation("existing version destination is unsafe"); }

// Whether the entry of the installation at `path` exists, looked up without
// following a final link: false when nothing has the name, true when it is a
// plain directory (`directory`) or a plain file (otherwise). A link or
// junction there, or the other kind of entry, means that writes would land
// where someone else chose: Installation "existing version destination is
// unsafe". A failed lookup is Io at `path`.
Result<bool> present_as(const std::filesystem::path& path, bool directory) {
    auto info = platform::file_info_no_follow(path);
    if (!info) {
        if (platform::is_not_found(info.error())) return false;
        return fail(UpdateError::io(path, info.error()));
    }
    if (info->link || info->directory != directory) {
        return fail(unsafe_destination());
    }
    return true;
}

// A payload's launcher or agent is moved into the installation directory as
// it is, so it must be the file itself, not a link to one elsewhere.
Result<void> check_payload_component(const std::filesystem::path& path) {
    auto info = platform::file_info_no_follow(path);
    if (!info) return fail(UpdateError::io(path, info.error()));
    if (info->link) {
        return fail(UpdateError::invalid_artifact("Windows payload contains a symbolic link"));
    }
    return {};
}

// Removes what an interrupted reinstallation left under `path`: a directory
// with everything in it, anything else as an entry (a link is never
// followed). Nothing there is success; a failure is Io at `path`.
Result<void> clear_leftover(const std::filesystem::path& path) {
    auto info = platform::file_info_no_follow(path);
    if (!info) {
        if (platform::is_not_found(info.error())) return {};
        return fail(UpdateError::io(path, info.error()));
    }
    const bool plain_directory = info->plain_directory();
    auto removed = plain_directory ? platform::remove_tree(path) : platform::remove_entry(path);
    if (!removed) return fail(UpdateError::io(path, removed.error()));
    return {};
}

// Flushes every file of the tree under `root` (natively its directories too)
// to stable storage, so that once the manifest names the build, a power cut
// cannot leave it with names but no contents. The tree is listed first and
// then flushed many entries at a time (platform::flush_entries): one flush
// after the other, a build of many small files spends most of its
// activation waiting for the disk once per file. Links are neither followed
// nor flushed. Failures: Installation with the walk error's description; Io
// at the entry that cannot be flushed.
Result<void> flush_build(const std::filesystem::path& root) {
    std::vector<std::filesystem::path> entries;
    platform::TreeWalk walk(root);
    while (auto item = walk.next()) {
        if (!*item) return fail(UpdateError::installation(item->error().description()));
        const platform::WalkEntry& entry = **item;
        if (entry.kind == platform::EntryKind::Link) continue;
        entries.push_back(entry.path);
    }
    if (auto flushed = platform::flush_entries(entries); !flushed) {
        return fail(UpdateError::io(entries[flushed.error().index], flushed.error().error));
    }
    return {};
}

// The build directory name an executable path keeps: its second component.
std::optional<NativeString> kept_build_name(const std::filesystem::path& executable) {
    auto components = path_rules::manifest_path_components(executable.native());
    if (components.size() < 2 || !path_rules::is_plain_component(NativeView(components[1]))) return std::nullopt;
    return std::move(components[1]);
}

// The executable that the manifest at `path` names, to be remembered as the
// previous one; nullopt when it cannot be read (missing, unreadable,
// malformed, unsafe): there is nothing to roll back to then. A manifest that
// a killed reinstallation left names the build under its incoming name
// ("{build}~new"), which that reinstallation's rerun replaces: its own
// fallback is what it stood for.
std::optional<std::filesystem::path> previous_from_manifest(const std::filesystem::path& path) {
    auto manifest = read_current_version(path);
    if (!manifest) return std::nullopt;
    const auto build = kept_build_name(manifest->executable);
    const NativeString suffix = name_path(INCOMING_SUFFIX).native();
    if (build && build->ends_with(suffix)) return std::move(manifest->previous_executable);
    return std::move(manifest->executable);
}

}  // namespace

bool check_build_identifier(std::string_view build) { return path_rules::is_valid_build_identifier(build); }

Result<void> replace_stable_component(const std::filesystem::path& source, const std::filesystem::path& target) {
    const auto refused = [&target](const OsError& error) {
        return fail(UpdateError::installation("replace stable update component " + path_display(target) + ": " +
                                              platform::windows_error_text(error.code)));
    };
    auto moved = test_hooks::refuse_replace(path_display(target.filename()))
                     ? platform::OsResult<void>(std::unexpected(platform::access_denied_error()))
                     : platform::rename_replace_write_through(source, target);
    if (moved) return {};
    // Only a file in use is moved aside; a directory or a link in the way is
    // refused the same way and must stay a failure.
    const auto own = platform::file_info_no_follow(target);
    if (!platform::is_in_use_refusal(moved.error()) || !own || !own->regular()) return refused(moved.error());

    // Windows refuses to replace or delete a program that is running (the
    // agent doing this activation usually is the installed agent itself) but
    // lets it be renamed within its volume: move it aside to a hidden sibling
    // that a later activation removes, then move the new file into place.
    const std::filesystem::path aside = set_aside_path(target);
    (void)platform::remove_entry(aside);
    if (!platform::rename_replace_write_through(target, aside)) return refused(moved.error());
    if (auto placed = platform::rename_replace_write_through(source, target); !placed) {
        // Rather the old component back than none at all.
        (void)platform::rename_replace_write_through(aside, target);
        return refused(placed.error());
    }
    (void)platform::set_hidden(aside);
    return {};
}

Result<void> copy_staged_tree(const std::filesystem::path& source, const std::filesystem::path& destination) {
    // Depth-first, each directory before its contents, links never followed;
    // the walk lists each directory whole and closes it before going on, so
    // it never holds more than one directory handle.
    platform::TreeWalk walk(source);
    bool copied_a_file = false;
    while (auto item = walk.next()) {
        if (!*item) return fail(UpdateError::installation(item->error().description()));
        const platform::WalkEntry& entry = **item;
        const auto relative = path_rules::relative_to_prefix(entry.path, source);
        if (!relative) return fail(UpdateError::installation("prefix not found"));
        const std::filesystem::path target = relative->empty() ? destination : destination / *relative;
        switch (entry.kind) {
            // A link would let the payload reach outside itself.
            case platform::EntryKind::Link:
                return fail(UpdateError::invalid_artifact("Windows payload contains a symbolic link"));
            case platform::EntryKind::Directory:
                if (auto made = platform::create_directories(target); !made) {
                    return fail(UpdateError::io(target, made.error()));
                }
                break;
            case platform::EntryKind::File:
                if (auto copied = platform::copy_file_replace(entry.path, target); !copied) {
                    return fail(UpdateError::io(target, copied.error()));
                }
                if (!copied_a_file) {
                    copied_a_file = true;
                    test_hooks::stop_at("after-first-file-copied");
                }
                break;
        }
    }
    // The copy is complete; the payload must not stay behind as a second copy
    // of the build.
    if (auto removed = platform::remove_tree(source); !removed) return fail(UpdateError::io(source, removed.error()));
    return {};
}

void prune_versions(const std::filesystem::path& version_store, const std::filesystem::path& executable,
                    const std::optional<std::filesystem::path>& previous_executable) {
    std::vector<NativeString> keep;
    if (auto name = kept_build_name(executable)) keep.push_back(std::move(*name));
    if (previous_executable) {
        if (auto name = kept_build_name(*previous_executable)) keep.push_back(std::move(*name));
    }
    auto entries = platform::list_directory(version_store);
    if (!entries) return;
    // A plain file is refused by remove_tree and stays.
    for (const auto& entry : *entries) {
        if (std::find(keep.begin(), keep.end(), entry.name) != keep.end()) continue;
        (void)platform::remove_tree(version_store / entry.name);
    }
}

Result<void> activate_update(const ActivationInputs& inputs, const std::filesystem::path& install_target) {
    const auto target = platform::HeldDirectory::open_no_follow(install_target);
    if (!target) {
        // What cannot be opened as a plain directory is refused by the
        // checks of the payload and of the installation first, as it would
        // be without the hold.
        if (auto trusted = verify_update_payload(inputs.source); !trusted) return trusted;
        if (auto trusted = verify_installation(install_target); !trusted) return trusted;
        return fail(UpdateError::io(install_target, target.error()));
    }
    return activate_update(inputs, *target);
}

Result<void> activate_update(const ActivationInputs& plan, const platform::HeldDirectory& held_target) {
    // Every path below starts at the held installation directory.
    const std::filesystem::path& target = held_target.path();
    const std::filesystem::path version_store = target / name_path(VERSIONS_DIRECTORY);
    const std::filesystem::path launcher_name = name_path(LAUNCHER_EXECUTABLE);
    const std::filesystem::path agent_name = name_path(UPDATER_AGENT_EXECUTABLE);
    const std::filesystem::path manifest_path = target / name_path(CURRENT_VERSION_MANIFEST);
    std::filesystem::path temporary_manifest = manifest_path;
    temporary_manifest.replace_extension("json.new");

    // 1. Only a trusted build goes into a trusted installation.
    if (auto trusted = verify_update_payload(plan.source); !trusted) return trusted;
    if (auto trusted = verify_installation(target); !trusted) return trusted;

    // 2. The build identifier becomes exactly one path component.
    if (!check_build_identifier(plan.build)) {
        return fail(UpdateError::installation("update build identifier is unsafe"));
    }
    const std::filesystem::path build_name = name_path(plan.build);
    const std::filesystem::path version_directory = version_store / build_name;
    const std::filesystem::path new_executable =
        name_path(VERSIONS_DIRECTORY) / build_name / name_path(APPLICATION_EXECUTABLE);

    // 3. Nothing is deleted or written through a link or junction: where the
    //    installation has a link in place of one of its own directories or
    //    files, someone else would choose where our writes land. All of it is
    //    checked before the first change.
    auto store_present = present_as(version_store, true);
    if (!store_present) return fail(std::move(store_present.error()));
    auto replacing = present_as(version_directory, true);
    if (!replacing) return fail(std::move(replacing.error()));
    if (auto stale = present_as(temporary_manifest, false); !stale) return fail(std::move(stale.error()));
    for (const auto& component : {launcher_name, agent_name}) {
        if (auto installed = present_as(target / component, false); !installed) {
            return fail(std::move(installed.error()));
        }
        if (auto plain = check_payload_component(plan.source / component); !plain) return plain;
    }

    // 4. The version store, held open until the end so that (on Windows) it
    //    cannot be renamed or swapped for a link while we work inside it.
    if (auto made = platform::create_directories(version_store); !made) {
        return fail(UpdateError::io(version_store, made.error()));
    }
    auto pinned_store = platform::PinnedDirectory::open(version_store);
    if (!pinned_store) return fail(UpdateError::io(version_store, pinned_store.error()));
    if (!*pinned_store) return fail(unsafe_destination());
    test_hooks::stop_at("after-version-store-created");

    // 5. The new build goes into the version store by a rename when the
    //    payload is on the same volume, by a copy otherwise. When a directory
    //    of the same build is there already (a reinstallation, possibly of
    //    the active build), the new one goes beside it first, so that no
    //    removal and no copy happens while neither is in place.
    const std::filesystem::path placed =
        *replacing ? with_suffix(version_directory, INCOMING_SUFFIX) : version_directory;
    if (*replacing) {
        if (auto cleared = clear_leftover(placed); !cleared) return cleared;
    }
    if (!platform::rename_replace(plan.source, placed)) {
        if (auto copied = copy_staged_tree(plan.source, placed); !copied) {
            // A partial copy is nobody's build: `placed` was free before the
            // copy began (a new name, or "~new" cleared above). Left there it
            // would hold the space a full disk lacks, and the next attempt
            // would have to put a second copy beside it.
            (void)platform::remove_tree(placed);
            return copied;
        }
    }
    // A build the elevated worker extracted still has the rights of its
    // private session directory, which only administrators may read.
    if (auto access = platform::inherit_access_from_parent(placed); !access) {
        return fail(UpdateError::io(placed, access.error()));
    }
    test_hooks::stop_at("after-payload-moved");

    // 6. Contents first, names later: every file of the new build, the
    //    launcher and agent among them, is on disk before any rename that
    //    follows can make it current.
    if (auto flushed = flush_build(placed); !flushed) return flushed;
    (void)platform::flush_entry(version_store);
    test_hooks::stop_at("after-new-build-flushed");

    // The manifest as it was before this activation: its executable becomes
    // the previous one (read here, before the reinstallation below may
    // write a manifest of its own).
    std::optional<std::filesystem::path> previous_executable = previous_from_manifest(manifest_path);

    // 7. The old directory of the build goes aside and the new one takes its
    //    name: two renames. The launcher must find a build to start at every
    //    instant in between, so the manifest first names the new copy under
    //    its incoming name, with the old directory as its fallback:
    //    - after this manifest, before the first rename: "{build}~new" is
    //      complete and flushed, and "{build}" is still there;
    //    - after the old directory went aside: "{build}~new" is still there;
    //    - after the new one took the name: "{build}~new" is gone, and the
    //      fallback "{build}" is the new build itself;
    //    the final manifest then names "{build}". Pruning removes the old one.
    if (*replacing) {
        CurrentVersion incoming;
        incoming.schema = CURRENT_VERSION_SCHEMA;
        incoming.version = plan.version;
        incoming.executable = name_path(VERSIONS_DIRECTORY) / placed.filename() / name_path(APPLICATION_EXECUTABLE);
        incoming.previous_executable = new_executable;
        if (auto written = write_current_version(manifest_path, incoming); !written) return written;
        test_hooks::stop_at("after-incoming-manifest-written");
        const std::filesystem::path replaced = with_suffix(version_directory, REPLACED_SUFFIX);
        if (auto cleared = clear_leftover(replaced); !cleared) return cleared;
        if (auto aside = platform::rename_replace_write_through(version_directory, replaced); !aside) {
            return fail(UpdateError::io(version_directory, aside.error()));
        }
        test_hooks::stop_at("after-old-build-set-aside");
        if (auto moved = platform::rename_replace_write_through(placed, version_directory); !moved) {
            (void)platform::rename_replace_write_through(replaced, version_directory);
            return fail(UpdateError::io(version_directory, moved.error()));
        }
        test_hooks::stop_at("after-version-directory-replaced");
    }

    // 8. The old build stays active: the old manifest still names it, and
    //    the new launcher and agent can start it.
    if (auto replaced = replace_stable_component(version_directory / launcher_name, target / launcher_name);
        !replaced) {
        return replaced;
    }
    test_hooks::stop_at("after-launcher-replaced");
    if (auto replaced = replace_stable_component(version_directory / agent_name, target / agent_name); !replaced) {
        return replaced;
    }
    test_hooks::stop_at("after-agent-replaced");

    // 9. One level of history only: the manifest read before step 7.
    CurrentVersion manifest;
    manifest.schema = CURRENT_VERSION_SCHEMA;
    manifest.version = plan.version;
    manifest.executable = new_executable;
    manifest.previous_executable = std::move(previous_executable);

    // 10. Write the manifest last: until this rename the old build stays
    //     active.
    if (auto written = write_current_version(manifest_path, manifest); !written) return written;
    test_hooks::stop_at("after-manifest-switched");

    // 11. Clean-up, never failing: builds no longer named, and components
    //     set aside by this or an earlier activation (one still running
    //     stays until a later one).
    prune_versions(version_store, manifest.executable, manifest.previous_executable);
    for (const auto& component : {launcher_name, agent_name}) {
        (void)platform::remove_entry(set_aside_path(target / component));
    }
    test_hooks::stop_at("after-versions-pruned");
    return {};
}

}  // namespace tessaryndle::agent
