#include <csignal>

#include "agent/cli.h"
#include "platform/command_line.h"

int main() {
    // The application may have gone (closing its end of our standard output)
    // by the time a late failure is reported: a write to that pipe must fail
    // and be ignored, as on Windows, not end the process before the failure
    // log is written.
    std::signal(SIGPIPE, SIG_IGN);
    return tessaryndle::agent::run_agent(tessaryndle::platform::command_line_arguments());
}
