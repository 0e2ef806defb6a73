#pragma once
// What the application calls to hand a downloaded update to the updater
// agent: a session directory of its own for the update, the install plan
// written into it, and the agent started on that plan with its standard
// output on a pipe, until it says "READY" (the application exits now so that
// the agent can install) or "ERROR:..." (the update was refused; the
// application goes on running).
//
//     namespace updater = tessaryndle::client;
//     auto session = updater::UpdateSession::create(updates_folder);
//     // download into session->directory(), unpack into session->staging_directory()
//     auto reply = updater::request_update(install_dir / "tessaryndle-updater-agent.exe", *session, request);
//     if (reply && reply->kind == updater::AgentReplyKind::Ready) exit_now();
//
// The library decides nothing about the update itself: the agent loads and
// verifies the plan and is the only judge of what it names.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/install_plan.h"
#include "common/update_error.h"
#include "platform/native_handle.h"

namespace tessaryndle::client {

// Names inside a session directory.
inline constexpr std::string_view INSTALL_PLAN_FILE_NAME = "plan.json";
inline constexpr std::string_view STAGING_DIRECTORY_NAME = "staging";

// The record that `tessaryndle-release sign` prints for a release archive:
// where the archive was downloaded from (an absolute URL), its length, its
// Ed25519 signature (Base64, 88 characters) and its SHA-256.
using ArtifactRecord = SerializableArtifact;

// What the application knows about one prepared update. The trusted
// application identifier, the nonce, the staging directory and the
// application's process identifier are filled in by write_install_plan.
struct UpdateRequest {
    std::string app_name;  // shown in the progress window
    std::string platform;
    std::string version;  // copied into current.json by the agent
    std::string build;    // names the new version's directory
    std::filesystem::path archive_path;
    std::filesystem::path install_source;  // the unpacked payload, inside the staging directory
    std::filesystem::path install_target;  // the installation directory
    std::filesystem::path relaunch_path;   // started by the agent after the update
    std::string public_key;                // the release key, as built into the agent (44 characters)
    ArtifactRecord artifact;
    std::uint64_t fallback_progress_delay_ms = 1500;
};

// The directory of one update, named by the plan's nonce. After a successful
// update the agent removes it with everything in it (the plan, the archive
// when the application downloaded it there, the staging directory); after a
// failure it stays for the application to remove.
class UpdateSession {
public:
    // Creates `sessions_root` when missing and in it a new directory named by
    // a fresh nonce (new_nonce). Failure: Io at the directory that could not
    // be created, or Io at "system random source".
    [[nodiscard]] static Result<UpdateSession> create(const std::filesystem::path& sessions_root);
    // A session in an existing directory with a given nonce (tests, or an
    // application that names its directories itself).
    UpdateSession(std::filesystem::path directory, std::string nonce)
        : directory_(std::move(directory)), nonce_(std::move(nonce)) {}

    [[nodiscard]] const std::filesystem::path& directory() const { return directory_; }
    [[nodiscard]] const std::string& nonce() const { return nonce_; }
    [[nodiscard]] std::filesystem::path staging_directory() const {
        return directory_ / std::string(STAGING_DIRECTORY_NAME);
    }
    [[nodiscard]] std::filesystem::path plan_path() const { return directory_ / std::string(INSTALL_PLAN_FILE_NAME); }

private:
    std::filesystem::path directory_;
    std::string nonce_;
};

// A fresh plan nonce: 30 bytes from the system's cryptographic source in
// lower-case Base32 (a-z, 2-7), exactly 48 characters. The agent names the
// elevated worker's session directory after it, so the alphabet is one that
// stays the same name on a case-insensitive file system and can never form
// a reserved or trimmed Windows name. Failure: Io at "system random source".
[[nodiscard]] Result<std::string> new_nonce();

// The plan document for `request` in `session`: pretty-printed JSON (two
// spaces), members in the order the agent documents, the trusted application
// identifier, schema 1, the session's nonce and staging directory, and
// `parent_pid`. Paths are made absolute from the current directory
// (std::filesystem::absolute; one that cannot be, an empty one, is kept as
// given) and written as UTF-8; a path that is not valid Unicode fails with
// Installation "install plan path is not valid Unicode: {path}".
[[nodiscard]] Result<std::string> install_plan_text(const UpdateRequest& request, const UpdateSession& session,
                                                    std::uint32_t parent_pid);

// Writes install_plan_text(request, session, this process's identifier) as
// the session's plan file, complete or not at all: through "plan.json.new"
// beside it, flushed and renamed over the final name. Returns the plan's
// path. Failure: Io at the temporary file or at the plan path.
[[nodiscard]] Result<std::filesystem::path> write_install_plan(const UpdateSession& session,
                                                               const UpdateRequest& request);

// This process's identifier, the plan's "parent_pid": the agent waits for
// this process to end before it installs.
[[nodiscard]] std::uint32_t current_process_id();

enum class AgentReplyKind {
    Ready,  // "READY": the plan is accepted; exit now, the agent waits for this process
    Error,  // "ERROR:{text}": the update was refused or failed; error_text holds the text
    Ended,  // the agent's output ended without either line
};

struct AgentReply {
    AgentReplyKind kind = AgentReplyKind::Ended;
    std::string error_text;  // Error: the agent's text after "ERROR:"
    // Error and Ended: the agent's exit code when it ended within a few
    // seconds of its last output; never set for Ready.
    std::optional<std::uint32_t> exit_code;
};

// The updater agent started on a plan, its standard output on a pipe to us.
// Destroying it closes our handles and never stops or waits for the agent:
// after "READY" the agent must outlive the application.
class UpdateAgent {
public:
    // Starts `agent_executable` with "--install-plan" and `plan_path`; its
    // standard input and error are the null device, its standard output the
    // pipe, and it inherits no other handle of ours. Windows: CreateProcessW
    // (outside the application's job when the job allows it, so that closing
    // the application does not take the agent along); elsewhere posix_spawn
    // in a session of its own. Failure: Io at the agent's path (not found,
    // not a program), or Io at "updater agent output" for the pipe.
    [[nodiscard]] static Result<UpdateAgent> start(const std::filesystem::path& agent_executable,
                                                   const std::filesystem::path& plan_path);

    UpdateAgent(UpdateAgent&& other) noexcept = default;
    UpdateAgent& operator=(UpdateAgent&& other) noexcept = default;
    UpdateAgent(const UpdateAgent&) = delete;
    UpdateAgent& operator=(const UpdateAgent&) = delete;
    ~UpdateAgent() = default;

    [[nodiscard]] std::uint32_t process_id() const { return id_; }

    // Reads the agent's output line by line, without a time limit (the agent
    // verifies the whole archive first), until a line is "READY" or starts
    // with "ERROR:", or the output ends. A line counts only with its "\n" (a
    // "\r" before it is dropped); other lines are skipped. After "ERROR:" and
    // at the end of the output it waits up to five seconds for the agent to
    // end, for its exit code. Failure: Io at "updater agent output" when
    // reading fails.
    [[nodiscard]] Result<AgentReply> wait_for_reply();

    // Waits up to `timeout` for the agent to end and returns its exit code
    // (128 + the signal's number natively for an agent ended by a signal);
    // nullopt while it still runs.
    [[nodiscard]] std::optional<std::uint32_t> wait_for_exit(std::chrono::milliseconds timeout);

    // Ends the agent at once (TerminateProcess with exit code 1; SIGKILL).
    // For an application that must stop an update it no longer wants before
    // "READY"; never used after it. Does nothing once the agent has ended.
    void terminate();

private:
    UpdateAgent(std::intptr_t process, std::intptr_t output, std::uint32_t id)
        : process_(process), output_(output), id_(id) {}
    // Reads what is available of the output into `buffer_`; 0 at its end.
    [[nodiscard]] Result<std::size_t> read_output();

    // Windows: the process handle and the pipe's read handle. Elsewhere the
    // pid while the agent is unreaped (empty after) and the pipe's
    // descriptor. Neither owner stops or reaps the agent: after "READY" it
    // must outlive this process, which exits next.
    platform::NativeProcess process_;
    platform::NativeHandle output_;
    std::uint32_t id_ = 0;
    std::optional<std::uint32_t> exit_code_;
    std::string buffer_;
};

// The whole hand-over: write_install_plan, UpdateAgent::start on the plan,
// wait_for_reply; the first failure is returned. The agent keeps running
// after "READY" when this returns.
[[nodiscard]] Result<AgentReply> request_update(const std::filesystem::path& agent_executable,
                                                const UpdateSession& session, const UpdateRequest& request);

}  // namespace tessaryndle::client
