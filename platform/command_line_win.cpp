#include <windows.h>
#include <shellapi.h>

#include "platform/command_line.h"
#include "platform/win_handle.h"

namespace tessaryndle::platform {

std::vector<NativeString> command_line_arguments() {
    std::vector<NativeString> args;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr) return args;
    const LocalMemory owned(argv);
    for (int i = 0; i < count; ++i) {
        args.emplace_back(argv[i]);
    }
    return args;
}

}  // namespace tessaryndle::platform
