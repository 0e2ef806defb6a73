#include <spawn.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/process.h"

extern char** environ;

namespace tessaryndle::platform {

OsResult<std::filesystem::path> own_executable_path() {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) return std::unexpected(OsError::from_code(errno));
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            return std::filesystem::path(std::move(buffer));
        }
        buffer.resize(buffer.size() * 2);
    }
}

OsResult<void> start_executable(const std::filesystem::path& program, const std::vector<NativeString>& arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    std::string program_text = program.native();
    argv.push_back(program_text.data());
    std::vector<std::string> copies(arguments.begin(), arguments.end());
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);

    // glibc reports a failed exec (missing file, no permission, not an
    // executable) as posix_spawn's result. The child is never waited for:
    // when this process exits it is handed to init.
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, program_text.c_str(), nullptr, nullptr, argv.data(), environ);
    if (rc != 0) return std::unexpected(OsError::from_code(rc));
    return {};
}

}  // namespace tessaryndle::platform
