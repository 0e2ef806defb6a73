#include <fstream>
#include <iterator>

#include "platform/command_line.h"

namespace tessaryndle::platform {

std::vector<NativeString> command_line_arguments() {
    // /proc/self/cmdline holds the argument vector as NUL-terminated strings.
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<NativeString> args;
    std::string current;
    for (char c : raw) {
        if (c == '\0') {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) args.push_back(current);
    return args;
}

}  // namespace tessaryndle::platform
