// A stand-in for the application "tessaryndle-app.exe", for the end-to-end
// tests and the demo. Every start appends one line to starts.txt in the
// directory named by TESSARYNDLE_STANDIN_RECORD:
//   start build=<build.txt beside the program> args=<count> [<argument>...]
// so a test sees which build ran and with which arguments.
//
// Started as
//   standin_app --update PLAN_TEMPLATE SESSION_DIRECTORY AGENT
// it does what the application does to apply an update: it writes the plan
// (the template with "parent_pid" set to its own process id) as
// SESSION_DIRECTORY/plan.json, starts AGENT on it and waits for its answer
// through the application-side client library, as a real application would,
// and writes handshake.txt into the record directory:
//   <"READY", "ERROR:" and the agent's text, or "<eof>" when the agent ended
//    without either>
//   agent_pid=<the agent's process id>
// The test chose the session directory (the template names it), so the plan
// is written here rather than by the library's own session.
// When the line is "READY" and TESSARYNDLE_STANDIN_HOLD names a file, it
// waits (at most 120 s) for that file to appear before it exits, so that a
// test can change the world while the application still runs. Started as
//   standin_app --wait
// it waits for that file in the same way and exits.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "client/download.h"
#include "client/update_check.h"
#include "client/updater_client.h"
#include "platform/command_line.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"

namespace {

namespace fs = std::filesystem;
using tessaryndle::NativeString;
using tessaryndle::path_display;

std::string text_of(const NativeString& native) { return path_display(fs::path(native)); }

fs::path record_directory() {
    const char* directory = std::getenv("TESSARYNDLE_STANDIN_RECORD");
    return directory == nullptr ? fs::path() : fs::path(directory);
}

std::string own_build(const fs::path& program) {
    std::ifstream marker(program.parent_path() / "build.txt", std::ios::binary);
    std::string build;
    std::getline(marker, build);
    return build.empty() ? "?" : build;
}

bool write_atomically(const fs::path& path, const std::string& text) {
    fs::path part = path;
    part += ".part";
    return tessaryndle::platform::write_whole_file(part, text).has_value() &&
           tessaryndle::platform::rename_replace(part, path).has_value();
}

void hold() {
    const char* release = std::getenv("TESSARYNDLE_STANDIN_HOLD");
    if (release == nullptr) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    std::error_code ec;
    while (!fs::exists(fs::path(release), ec) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int update(const std::vector<NativeString>& arguments, const fs::path& records) {
    const fs::path template_path(arguments[2]);
    const fs::path session(arguments[3]);
    const fs::path agent(arguments[4]);

    const auto text = tessaryndle::platform::read_whole_file(template_path);
    if (!text) return 10;
    nlohmann::ordered_json plan = nlohmann::ordered_json::parse(*text, nullptr, false);
    if (plan.is_discarded()) return 11;
    plan["parent_pid"] = tessaryndle::client::current_process_id();
    std::error_code ec;
    fs::create_directories(session, ec);
    const fs::path plan_path = session / "plan.json";
    if (!write_atomically(plan_path, plan.dump(2))) return 12;

    auto started = tessaryndle::client::UpdateAgent::start(agent, plan_path);
    if (!started) return 14;
    const auto reply = started->wait_for_reply();
    if (!reply) return 15;
    std::string line = "<eof>";
    if (reply->kind == tessaryndle::client::AgentReplyKind::Ready) line = "READY";
    if (reply->kind == tessaryndle::client::AgentReplyKind::Error) line = "ERROR:" + reply->error_text;
    if (!write_atomically(records / "handshake.txt",
                          line + "\nagent_pid=" + std::to_string(started->process_id()) + "\n")) {
        return 13;
    }
    if (reply->kind == tessaryndle::client::AgentReplyKind::Ready) hold();
    return 0;
}

int check_for_update(const std::vector<NativeString>& arguments, const fs::path& records, const fs::path& own) {
    namespace client = tessaryndle::client;
    const auto report = [&](const std::string& line) {
        return write_atomically(records / "handshake.txt", line + "\n") ? 0 : 13;
    };
    const client::UpdateChannel channel{text_of(arguments[2]), text_of(arguments[3]), text_of(arguments[4]),
                                        TESSARYNDLE_RELEASE_PUBLIC_KEY};
    const fs::path install(arguments[6]);
    const auto check = client::check_for_update(channel, own_build(own));
    if (!check) return report("FAILED:" + check.error().display());
    if (check->up_to_date()) return report("up to date");
    const tessaryndle::ReleaseFeed& release = check->offer->release;
    std::printf("    offered:             version %s (build %s)\n", release.version.c_str(), release.build.c_str());

    auto session = client::UpdateSession::create(fs::path(arguments[5]));
    if (!session) return report("FAILED:" + session.error().display());
    client::DownloadOptions options;
    // One line, rewritten whenever the percentage moves.
    options.progress = [shown = std::uint64_t{101}](std::uint64_t received, std::uint64_t total) mutable {
        const std::uint64_t percent = total == 0 ? 100 : received * 100 / total;
        if (percent == shown) return;
        shown = percent;
        std::printf("\r    downloading:         %llu of %llu bytes (%llu %%)",
                    static_cast<unsigned long long>(received), static_cast<unsigned long long>(total),
                    static_cast<unsigned long long>(percent));
        std::fflush(stdout);
    };
    const auto archive = client::download_update(*session, release.artifact, channel.public_key, options);
    std::printf("\n");
    if (!archive) return report("FAILED:" + archive.error().display());
    const auto payload = client::unpack_update(*session, *archive, release.artifact, channel.public_key);
    if (!payload) return report("FAILED:" + payload.error().display());
    std::printf("    unpacked:            %s\n", path_display(*payload).c_str());
    std::fflush(stdout);

    client::UpdateRequest request;
    request.app_name = "Tessaryndle Demo";
    request.platform = release.platform;
    request.version = release.version;
    request.build = release.build;
    request.archive_path = *archive;
    request.install_source = *payload;
    request.install_target = install;
    request.relaunch_path = install / "Tessaryndle.exe";
    request.public_key = channel.public_key;
    request.artifact = {release.artifact.url, release.artifact.content_length, release.artifact.ed25519_signature,
                        release.artifact.sha256};
    const auto plan = client::write_install_plan(*session, request);
    if (!plan) return report("FAILED:" + plan.error().display());
    auto agent = client::UpdateAgent::start(install / "tessaryndle-updater-agent.exe", *plan);
    if (!agent) return report("FAILED:" + agent.error().display());
    const auto reply = agent->wait_for_reply();
    if (!reply) return report("FAILED:" + reply.error().display());
    std::string line = "<eof>";
    if (reply->kind == client::AgentReplyKind::Ready) line = "READY";
    if (reply->kind == client::AgentReplyKind::Error) line = "ERROR:" + reply->error_text;
    return report(line + "\nagent_pid=" + std::to_string(agent->process_id()));
}

}  // namespace

int main() {
    const auto own = tessaryndle::platform::own_executable_path();
    if (!own) return 2;
    const auto arguments = tessaryndle::platform::command_line_arguments();
    const fs::path records = record_directory();
    if (records.empty()) return 3;

    std::string entry = "start build=" + own_build(*own) + " args=" + std::to_string(arguments.size() - 1);
    for (std::size_t i = 1; i < arguments.size(); ++i) entry += " " + text_of(arguments[i]);
    {
        std::ofstream starts(records / "starts.txt", std::ios::binary | std::ios::app);
        starts << entry << "\n";
        if (!starts) return 4;
    }

    if (arguments.size() == 5 && text_of(arguments[1]) == "--update") return update(arguments, records);
    if (arguments.size() == 7 && text_of(arguments[1]) == "--check-for-update") {
        return check_for_update(arguments, records, *own);
    }
    if (arguments.size() == 2 && text_of(arguments[1]) == "--wait") hold();
    return 0;
}
