#include "agent/installation/install_result.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <string>

#include "common/strict_json_reader.h"
#include "platform/files.h"
#include "platform/sleep.h"
#include "platform/text.h"

namespace tessaryndle::agent {
namespace {

// Compact, members in ascending key order (nlohmann::json keeps its object
// members sorted), strings escaped as in the manifest. An error text that is
// not valid UTF-8 gets U+FFFD in its place rather than losing the result.
Result<std::string> serialize_install_result(const Result<void>& outcome) {
    try {
        nlohmann::json document = nlohmann::json::object();
        document["ok"] = outcome.has_value();
        if (!outcome) document["error"] = outcome.error().display();
        return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception& error) {
        return fail(UpdateError::serialization(JsonError{error.what(), 0, 0}));
    }
}

}  // namespace

Result<void> write_install_result(const std::filesystem::path& result_path, const Result<void>& outcome) {
    auto text = serialize_install_result(outcome);
    if (!text) return fail(std::move(text.error()));

    // Created new: a stale temporary file makes the write fail rather than
    // being written through, and the result appears under its name only
    // when complete.
    std::filesystem::path temporary = result_path;
    temporary.replace_extension("json.part");
    auto replaced = platform::replace_file_contents(result_path, temporary, *text, platform::ExistingTemporary::Refuse,
                                                    platform::RenameKind::Ordinary);
    if (!replaced) {
        const bool at_temporary = replaced.error().stage == platform::ReplaceFailure::Stage::Temporary;
        return fail(UpdateError::io(at_temporary ? temporary : result_path, replaced.error().error));
    }
    return {};
}

Result<void> write_install_result(const platform::HeldDirectory& directory, const std::filesystem::path& result_path,
                                  const Result<void>& outcome) {
    auto text = serialize_install_result(outcome);
    if (!text) return fail(std::move(text.error()));
    std::filesystem::path temporary = result_path;
    temporary.replace_extension("json.part");
    auto replaced = directory.replace_file(result_path.filename(), temporary.filename(), *text);
    if (!replaced) {
        const bool at_temporary = replaced.error().stage == platform::ReplaceFailure::Stage::Temporary;
        return fail(UpdateError::io(at_temporary ? temporary : result_path, replaced.error().error));
    }
    return {};
}

PollClock PollClock::system() {
    return PollClock{
        [] { return std::chrono::steady_clock::now(); },
        [](std::chrono::milliseconds duration) {
            platform::sleep_milliseconds(static_cast<std::uint64_t>(duration.count()));
        },
    };
}

namespace {

// The result counts once it exists under its final name; the worker renames
// it there only when it is complete.
bool result_present(const std::filesystem::path& result_path) {
    const auto info = platform::file_info_follow(result_path);
    return info && !info->directory;
}

}  // namespace

Result<void> wait_for_install_result(const std::filesystem::path& result_path, const PollClock& clock,
                                     const WorkerEnded& worker_ended) {
    const auto started = clock.now();
    for (;;) {
        if (result_present(result_path)) break;
        // The worker may have renamed its result into place between the look
        // above and its end, so its end is followed by one more look.
        if (worker_ended && worker_ended()) {
            if (result_present(result_path)) break;
            return fail(UpdateError::installation("the privileged installer ended without a result"));
        }
        if (clock.now() - started >= INSTALL_RESULT_TIME_LIMIT) {
            return fail(UpdateError::installation("the privileged installer did not finish within 30 minutes"));
        }
        clock.sleep(INSTALL_RESULT_POLL_INTERVAL);
    }

    // The file is complete: it appeared under its name by rename.
    auto bytes = platform::read_whole_file(result_path);
    if (!bytes) return fail(UpdateError::io(result_path, bytes.error()));
    return parse_install_result(*bytes, result_path);
}

Result<void> parse_install_result(std::string_view bytes, const std::filesystem::path& result_path) {
    if (!is_valid_utf8(bytes)) {
        return fail(UpdateError::io(result_path, OsError::custom("stream did not contain valid UTF-8")));
    }

    // One JSON value, nothing but white space after it.
    auto value = json::parse_value(bytes);
    if (!value) return fail(std::move(value.error()));

    // 5-7.
    if (value->kind == json::Kind::Object) {
        if (const json::Value* ok = value->find("ok"); ok && ok->kind == json::Kind::Boolean && ok->boolean) {
            return {};
        }
        if (const json::Value* error = value->find("error"); error && error->kind == json::Kind::String) {
            return fail(UpdateError::installation(error->text));
        }
    }
    return fail(UpdateError::installation("the privileged installer failed"));
}

}  // namespace tessaryndle::agent
