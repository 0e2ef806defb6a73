#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/command_line.h"
#include "tools/release/commands.h"

namespace {

// The console's output code page is UTF-8 for as long as this object lives,
// and then the one it was before. The console is the user's: the shell that
// started the tool goes on writing to it after the tool has exited, in the
// code page it chose. Without a console nothing is changed.
class Utf8ConsoleOutput {
public:
    Utf8ConsoleOutput() : previous_(GetConsoleOutputCP()) {
        changed_ = previous_ != 0 && previous_ != CP_UTF8 && SetConsoleOutputCP(CP_UTF8);
    }
    ~Utf8ConsoleOutput() {
        if (changed_) SetConsoleOutputCP(previous_);
    }
    Utf8ConsoleOutput(const Utf8ConsoleOutput&) = delete;
    Utf8ConsoleOutput& operator=(const Utf8ConsoleOutput&) = delete;

private:
    UINT previous_;
    bool changed_ = false;
};

}  // namespace

int main() {
    // The arguments come from GetCommandLineW (any Unicode path), the output
    // is UTF-8 and goes out byte for byte: "\n" stays "\n" in files and pipes,
    // and a console shows the text as UTF-8. The code page goes back only
    // after both streams are flushed, on the way out of main.
    const Utf8ConsoleOutput utf8_console;
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    const auto arguments = tessaryndle::platform::command_line_arguments();
    tessaryndle::release::ToolOutput output;
    const int status = tessaryndle::release::run_release_tool({arguments.begin() + 1, arguments.end()}, output);
    std::fwrite(output.out.data(), 1, output.out.size(), stdout);
    std::fwrite(output.err.data(), 1, output.err.size(), stderr);
    return std::fflush(stdout) == 0 && std::fflush(stderr) == 0 ? status : 1;
}
