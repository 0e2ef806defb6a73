#include <windows.h>
#include <shellapi.h>

#include "platform/command_line.h"

namespace tessaryndle::platform {

std::vector<NativeString> command_line_arguments() {
    std::vector<NativeString> args;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr) return args;
    for (int i = 0; i < count; ++i) {
        args.emplace_back(argv[i]);
    }
    LocalFree(argv);
    return args;
}

}  // namespace tessaryndle::platform
