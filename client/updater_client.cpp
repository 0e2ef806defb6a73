#include "client/updater_client.h"

#include <array>
#include <utility>

#include "common/constants.h"
#include "common/install_plan.h"
#include "platform/files.h"
#include "platform/random.h"
#include "platform/text.h"

namespace tessaryndle::client {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t NONCE_RANDOM_BYTES = 30;  // 240 bits: 48 Base32 characters
constexpr std::string_view NONCE_ALPHABET = "abcdefghijklmnopqrstuvwxyz234567";
// How long the reply waits for the agent to end once it has said all it will.
constexpr std::chrono::milliseconds EXIT_GRACE{5000};

// The agent leaves its starting directory, and its elevated worker starts
// in another one, so a relative path would name another file there (and
// the agent refuses relative paths for an elevated installation). A path
// that cannot be made absolute (an empty one) is written as given, for the
// agent to judge.
fs::path absolute_or_as_is(const fs::path& path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec);
    return ec ? path : absolute;
}

// The path the plan will hold: absolute, and with a UTF-8 form, which the
// plan file needs.
Result<fs::path> plan_path(const fs::path& path) {
    fs::path absolute = absolute_or_as_is(path);
    if (!path_utf8(absolute)) {
        return fail(UpdateError::installation("install plan path is not valid Unicode: " + path_display(absolute)));
    }
    return absolute;
}

}  // namespace

Result<std::string> new_nonce() {
    std::array<std::uint8_t, NONCE_RANDOM_BYTES> bytes{};
    if (auto filled = platform::system_random_bytes(bytes); !filled) {
        return fail(UpdateError::io("system random source", filled.error()));
    }
    // Every 5 bytes give 8 symbols of 5 bits each, most significant first.
    std::string nonce;
    nonce.reserve(NONCE_RANDOM_BYTES / 5 * 8);
    for (std::size_t i = 0; i < bytes.size(); i += 5) {
        std::uint64_t group = 0;
        for (std::size_t j = 0; j < 5; ++j) group = (group << 8) | bytes[i + j];
        for (int shift = 35; shift >= 0; shift -= 5) nonce.push_back(NONCE_ALPHABET[(group >> shift) & 0x1f]);
    }
    return nonce;
}

Result<UpdateSession> UpdateSession::create(const fs::path& sessions_root) {
    if (auto made = platform::create_directories(sessions_root); !made) {
        return fail(UpdateError::io(sessions_root, made.error()));
    }
    auto nonce = new_nonce();
    if (!nonce) return fail(nonce.error());
    const fs::path directory = sessions_root / path_from_utf8(*nonce);
    // A fresh random name: nothing of an earlier session can be in it.
    if (auto made = platform::create_directories(directory); !made) {
        return fail(UpdateError::io(directory, made.error()));
    }
    return UpdateSession(directory, std::move(*nonce));
}

Result<std::string> install_plan_text(const UpdateRequest& request, const UpdateSession& session,
                                      std::uint32_t parent_pid) {
    InstallPlan plan;
    plan.schema = INSTALL_PLAN_SCHEMA_VERSION;
    plan.nonce = session.nonce();
    plan.app_name = request.app_name;
    plan.application_id = TRUSTED_APPLICATION_ID;
    plan.platform = request.platform;
    plan.version = request.version;
    plan.build = request.build;
    const std::pair<fs::path*, fs::path> paths[] = {
        {&plan.archive_path, request.archive_path},     {&plan.staging_directory, session.staging_directory()},
        {&plan.install_source, request.install_source}, {&plan.install_target, request.install_target},
        {&plan.relaunch_path, request.relaunch_path},
    };
    for (const auto& [member, path] : paths) {
        auto checked = plan_path(path);
        if (!checked) return fail(checked.error());
        *member = std::move(*checked);
    }
    plan.parent_pid = parent_pid;
    plan.public_key = request.public_key;
    plan.artifact = request.artifact;
    plan.fallback_progress_delay_ms = request.fallback_progress_delay_ms;
    return tessaryndle::install_plan_text(plan);
}

Result<fs::path> write_install_plan(const UpdateSession& session, const UpdateRequest& request) {
    auto text = install_plan_text(request, session, current_process_id());
    if (!text) return fail(text.error());
    const fs::path plan = session.plan_path();
    fs::path temporary = plan;
    temporary += ".new";
    // The agent may be started by someone else on this path at any time:
    // it must find the old plan or the new one, never half of one.
    const auto replaced = platform::replace_file_contents(plan, temporary, *text, platform::ExistingTemporary::Remove,
                                                          platform::RenameKind::Ordinary);
    if (!replaced) {
        const auto& failure = replaced.error();
        return fail(UpdateError::io(failure.stage == platform::ReplaceFailure::Stage::Temporary ? temporary : plan,
                                    failure.error));
    }
    return plan;
}

Result<AgentReply> UpdateAgent::wait_for_reply() {
    std::size_t scanned = 0;
    for (;;) {
        const auto newline = buffer_.find('\n', scanned);
        if (newline == std::string::npos) {
            scanned = buffer_.size();
            const auto read = read_output();
            if (!read) return fail(read.error());
            if (*read > 0) continue;
            // The output ended (the agent is gone, or closed it) without
            // either line; an unfinished last line does not count.
            return AgentReply{AgentReplyKind::Ended, {}, wait_for_exit(EXIT_GRACE)};
        }
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        scanned = 0;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == AGENT_READY_LINE) return AgentReply{AgentReplyKind::Ready, {}, std::nullopt};
        if (line.starts_with(AGENT_ERROR_PREFIX)) {
            line.erase(0, AGENT_ERROR_PREFIX.size());
            return AgentReply{AgentReplyKind::Error, std::move(line), wait_for_exit(EXIT_GRACE)};
        }
    }
}

Result<AgentReply> request_update(const fs::path& agent_executable, const UpdateSession& session,
                                  const UpdateRequest& request) {
    const auto plan = write_install_plan(session, request);
    if (!plan) return fail(plan.error());
    auto agent = UpdateAgent::start(agent_executable, *plan);
    if (!agent) return fail(agent.error());
    return agent->wait_for_reply();
}

}  // namespace tessaryndle::client
