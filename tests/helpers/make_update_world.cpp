// Makes the world of one update for the demo (tests/support/update_world.h):
//   make_update_world ROOT
// ROOT/install holds version 1 of the stand-in application, made of the
// signed programs; ROOT/downloads/update.zip is version 2, signed with the
// TEST release key; ROOT/staging holds its payload as the application
// extracted it; ROOT/plan-template.json is the plan without the
// application's process id. Exit status 0 on success.

#include <cstdio>
#include <exception>

#include "platform/command_line.h"
#include "tests/support/update_world.h"

int main() {
    const auto arguments = tessaryndle::platform::command_line_arguments();
    if (arguments.size() != 2) {
        std::fputs("usage: make_update_world ROOT\n", stderr);
        return 2;
    }
    try {
        const auto world = tessaryndle::test::make_update_world(std::filesystem::path(arguments[1]));
        std::printf("made %s\n", world.root.string().c_str());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make_update_world: %s\n", error.what());
        return 1;
    }
}
