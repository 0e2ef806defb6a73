#include "tools/release/commands.h"

#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "tools/release/archive_commands.h"
#include "tools/release/arguments.h"
#include "tools/release/feed_commands.h"
#include "tools/release/help_texts.h"

namespace tessaryndle::release {
namespace {

struct Command {
    std::string_view name;
    std::string_view help;
    std::vector<std::string_view> options;
    std::vector<std::string_view> flags;
    std::size_t operands;
    std::function<std::expected<void, Failure>(const Arguments&, ToolOutput&)> run;
};

}  // namespace

int run_release_tool(const std::vector<NativeString>& arguments, ToolOutput& output) {
    const auto failed = [&](const std::string& text) {
        output.err += text + "\n";
        return 1;
    };
    if (arguments.empty()) return failed(std::string(OVERVIEW_HELP.substr(0, OVERVIEW_HELP.find('\n'))));
    const std::string command_name = native_lossy(arguments.front());
    if (command_name == "--help" || command_name == "-h" || command_name == "help") {
        output.out += OVERVIEW_HELP;
        return 0;
    }

    const Command commands[] = {
        {"generate-key", GENERATE_KEY_HELP, {"--out"}, {}, 0, generate_key},
        {"sign", SIGN_HELP, {"--key", "--url"}, {}, 1, sign},
        {"verify", VERIFY_HELP, {"--public-key", "--signature", "--sha256", "--length"}, {}, 1, verify},
        {"check-payload", CHECK_PAYLOAD_HELP, {}, {}, 1, check_payload},
        {"publish",
         PUBLISH_HELP,
         {"--key", "--url", "--version", "--build", "--platform", "--channel", "--out", "--release-notes"},
         {"--allow-downgrade"},
         1,
         publish},
        {"check-feed", CHECK_FEED_HELP, {"--public-key"}, {}, 1, check_feed},
    };
    for (const Command& command : commands) {
        if (command.name != command_name) continue;
        const auto parsed =
            parse_arguments(std::span(arguments).subspan(1), command.options, command.flags, command.operands);
        if (parsed && parsed->help) {
            output.out += command.help;
            return 0;
        }
        if (!parsed) {
            return failed(std::string(PROGRAM) + " " + command_name + ": " + parsed.error() + " (see \"" +
                          std::string(PROGRAM) + " " + command_name + " --help\")");
        }
        const auto ran = command.run(*parsed, output);
        return ran ? 0 : failed(ran.error());
    }
    return failed(std::string(PROGRAM) + ": unknown command " + command_name + " (see \"" + std::string(PROGRAM) +
                  " --help\")");
}

}  // namespace tessaryndle::release
