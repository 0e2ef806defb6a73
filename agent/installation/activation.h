#pragma once
// Activation: a verified, extracted payload becomes the installed, current
// build. The payload moves into the version store as versions\{build}, the
// launcher and the agent move over the installed ones, the manifest is
// switched to the new build (remembering the old one for rollback), and
// builds no longer needed are removed.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/update_error.h"
#include "platform/held_directory.h"

namespace tessaryndle::agent {

// Whether a build identifier can name a version directory: not empty, only
// ASCII letters, digits, "-", "." and "_", and not made of dots alone.
[[nodiscard]] bool check_build_identifier(std::string_view build);

// What an activation installs, apart from where: taken from the plan by the
// caller, so that activation never sees the rest of it.
struct ActivationInputs {
    // The directory that holds the extracted payload.
    std::filesystem::path source;
    // The build identifier, which becomes the version directory's name.
    std::string build;
    // Copied unchanged into the manifest.
    std::string version;
};

// Installs the payload in `inputs.source` into `install_target` as build
// `inputs.build`. The steps run in a fixed order and the first
// failure ends the operation; nothing done before is undone, except that a
// payload copied only in part (the copy fallback failing, a full disk) is
// removed again. Until the
// manifest is replaced (the last step but one) the old build stays active,
// so a crash at any point leaves an installation the launcher can start.
// Reinstalling a build whose directory exists (the active one, say) puts
// the new directory beside the old one first as "{build}~new", switches the
// manifest to it with the old directory as fallback, then moves the old
// directory aside as "{build}~old" and the new one into place, so that the
// launcher has a build to start at every instant; pruning removes the old
// one.
// The placed build takes the access rights of the installation
// (inherit_access_from_parent), not those of the worker's private session
// directory it may come from. Every file of the new build is flushed to
// stable storage before the manifest switch. Nothing is deleted or written through a link or junction
// inside the installation: the version store, the version directory, the
// temporary manifest and the installed launcher and agent are looked at
// without following links before anything changes, and the version store is
// held open (pinned) while the activation works inside it.
//
// Errors: those of verify_update_payload and verify_installation;
// Installation "update build identifier is unsafe"; Installation "existing
// version destination is unsafe" when the version store or versions\{build}
// is not a plain directory, or current.json.new, the installed launcher or
// agent is not a plain file (a link, a junction, the other kind: never
// followed or deleted); InvalidArtifact "Windows payload contains a
// symbolic link" when the payload's launcher or agent is a link; Io at the
// entry that cannot be examined, created, moved, given its rights or flushed; those of
// copy_staged_tree when the payload cannot be renamed into place; those of
// replace_stable_component; those of write_current_version.
// The installation directory `install_target` is opened and held here (Io at
// it when it cannot be opened as a plain directory, after the checks of the
// payload and of the installation have had their say).
[[nodiscard]] Result<void> activate_update(const ActivationInputs& inputs, const std::filesystem::path& install_target);

// activate_update with the installation directory already opened and held
// by the caller (the elevated worker holds it from its checks on): every
// step works through target.path(), so that nothing done to the name the
// installation was opened by, or to the directories above it, redirects
// what the activation deletes, moves or writes. The form above opens
// the installation this way itself and calls this one.
[[nodiscard]] Result<void> activate_update(const ActivationInputs& inputs, const platform::HeldDirectory& target);

// Moves `source` over `target` with replace and write-through: the file is
// moved, not copied (natively the move is on disk when this returns; on
// Windows a rename within the volume is as durable as the file system's
// journal, see platform::rename_replace_write_through). When the
// replacing move is refused as in use (access denied or a sharing violation:
// Windows will not replace a running program, but lets it be renamed), the
// target is first moved aside to the hidden sibling ".{name}~old", which a
// later activation removes, and then the new file is moved in; if that last
// move fails, the old file is moved back.
// Failure: Installation "replace stable update component {target}: {Windows
// error text}", with the error of the first move when the target could not
// be moved aside either.
[[nodiscard]] Result<void> replace_stable_component(const std::filesystem::path& source,
                                                    const std::filesystem::path& target);

// Copies the tree under `source` to `destination` (the fallback when the
// payload cannot be renamed, e.g. from another volume), then removes
// `source`. The walk never follows links and holds few directory handles.
// Failures: Installation with the walk error's description; InvalidArtifact
// "Windows payload contains a symbolic link" (what was copied before stays);
// Io at the target of a directory or file that cannot be created or copied;
// Io at `source` when it cannot be removed after a complete copy.
[[nodiscard]] Result<void> copy_staged_tree(const std::filesystem::path& source,
                                            const std::filesystem::path& destination);

// Removes every entry of `version_store` except the build directories named
// by the second component of `executable` and of `previous_executable`.
// Directories (and links) are removed with remove_tree; plain files stay.
// Never fails: entries that cannot be removed stay for a later activation.
void prune_versions(const std::filesystem::path& version_store, const std::filesystem::path& executable,
                    const std::optional<std::filesystem::path>& previous_executable);

}  // namespace tessaryndle::agent
