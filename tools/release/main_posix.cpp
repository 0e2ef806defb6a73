#include <cstdio>

#include "platform/command_line.h"
#include "tools/release/commands.h"

int main() {
    const auto arguments = tessaryndle::platform::command_line_arguments();
    tessaryndle::release::ToolOutput output;
    const int status = tessaryndle::release::run_release_tool({arguments.begin() + 1, arguments.end()}, output);
    std::fwrite(output.out.data(), 1, output.out.size(), stdout);
    std::fwrite(output.err.data(), 1, output.err.size(), stderr);
    return std::fflush(stdout) == 0 && std::fflush(stderr) == 0 ? status : 1;
}
