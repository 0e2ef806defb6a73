#include <windows.h>

#include "agent/cli.h"
#include "platform/command_line.h"

// A GUI-subsystem program: no console window. Arguments come from
// GetCommandLineW, not from the C runtime.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return tessaryndle::agent::run_agent(tessaryndle::platform::command_line_arguments());
}
