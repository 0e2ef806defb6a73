#include "agent/cli.h"
#include "platform/command_line.h"

int main() { return tessaryndle::agent::run_agent(tessaryndle::platform::command_line_arguments()); }
