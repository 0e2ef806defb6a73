#pragma once
// Install plans for tests: a valid, trusted plan value and its JSON text as
// the application writes it, so that a test can change one thing and write
// the file.

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "agent/plan/plan.h"

namespace tessaryndle::test {

// A 48-byte nonce of plain characters.
inline constexpr std::string_view TEST_NONCE = "0123456789abcdef0123456789abcdef0123456789abcdef";

// A plan that passes loading, the trust rule and the URL check: the trusted
// application identifier, the key built into this agent, schema 1, a 48-byte
// nonce, and every path below `session` ("archive.zip", "staging",
// "staging/payload", "install", "install/Tessaryndle.exe"). Nothing is
// created on disk.
[[nodiscard]] InstallPlan valid_plan(const std::filesystem::path& session);

// The plan as a JSON document with the members in document order ("sha256"
// written as null when absent). Tests edit it to make faulty plans.
[[nodiscard]] nlohmann::ordered_json plan_document(const InstallPlan& plan);

// The document's text, pretty-printed with two-space indentation.
[[nodiscard]] std::string plan_text(const nlohmann::ordered_json& document);
[[nodiscard]] std::string plan_text(const InstallPlan& plan);

// Writes `text` as "plan.json" into `directory` (created when missing) and
// returns the plan's path.
std::filesystem::path write_plan(const std::filesystem::path& directory, std::string_view text);

}  // namespace tessaryndle::test
