#pragma once
// The process's own command line, split by the platform's standard rules.

#include <vector>

#include "platform/text.h"

namespace tessaryndle::platform {

// All arguments including the program path, as native strings: on Windows
// GetCommandLineW split by CommandLineToArgvW (unpaired surrogates survive);
// elsewhere the process's argument vector.
[[nodiscard]] std::vector<NativeString> command_line_arguments();

}  // namespace tessaryndle::platform
