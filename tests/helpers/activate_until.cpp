// Runs one activation the way the agent does, for the crash-safety tests:
//   activate_until <install_source> <install_target> <build> <version>
// In builds with test hooks, TESSARYNDLE_TEST_STOP_AT names the point at
// which the process ends abruptly (exit status 86), after what has just been
// made durable ("after-payload-moved", "after-manifest-switched", ...), and
// TESSARYNDLE_TEST_REFUSE_REPLACE names a stable component whose replacing
// move is refused as in use. Prints "activated" or "ERROR:" and the error's
// text; exits 0 or 1.

#include <cstdio>
#include <string>

#include "agent/installation/activation.h"
#include "platform/command_line.h"
#include "platform/text.h"

int main() {
    namespace agent = tessaryndle::agent;
    const auto arguments = tessaryndle::platform::command_line_arguments();
    if (arguments.size() != 5) {
        std::fputs("usage: activate_until <install_source> <install_target> <build> <version>\n", stderr);
        return 2;
    }
    const agent::ActivationInputs inputs{std::filesystem::path(arguments[1]), tessaryndle::native_lossy(arguments[3]),
                                         tessaryndle::native_lossy(arguments[4])};

    const auto activated = agent::activate_update(inputs, std::filesystem::path(arguments[2]));
    if (!activated) {
        std::printf("ERROR:%s\n", activated.error().display().c_str());
        return 1;
    }
    std::puts("activated");
    return 0;
}
