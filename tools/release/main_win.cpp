#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/command_line.h"
#include "tools/release/commands.h"

int main() {
    // The arguments come from GetCommandLineW (any Unicode path), the output
    // is UTF-8 and goes out byte for byte: "\n" stays "\n" in files and pipes,
    // and a console shows the text as UTF-8.
    SetConsoleOutputCP(CP_UTF8);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    const auto arguments = tessaryndle::platform::command_line_arguments();
    tessaryndle::release::ToolOutput output;
    const int status = tessaryndle::release::run_release_tool({arguments.begin() + 1, arguments.end()}, output);
    std::fwrite(output.out.data(), 1, output.out.size(), stdout);
    std::fwrite(output.err.data(), 1, output.err.size(), stderr);
    return std::fflush(stdout) == 0 && std::fflush(stderr) == 0 ? status : 1;
}
