#pragma once
// tessaryndle-release: the tool of the people who ship updates. It makes the
// release key, checks and signs update archives with the agent's own rules,
// and verifies archives and payloads exactly as the agent will.

#include <string>
#include <vector>

#include "platform/text.h"

namespace tessaryndle::release {

// What a run writes to standard output and standard error.
struct ToolOutput {
    std::string out;
    std::string err;
};

// Runs one command of the tool. `arguments` are the command line after the
// program path: a command ("generate-key", "sign", "verify", "publish",
// "check-feed", "check-payload") and its operands and options, or "--help". Every command
// takes "--help" (usage on standard output, status 0). Returns the exit
// status: 0 on success, 1 on any failure, whose one-line text goes to
// `output.err`; texts of the agent's checks are the agent's own, exactly as
// its "ERROR:" line shows them.
[[nodiscard]] int run_release_tool(const std::vector<NativeString>& arguments, ToolOutput& output);

}  // namespace tessaryndle::release
