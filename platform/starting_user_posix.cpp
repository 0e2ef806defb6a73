#include <unistd.h>
#include <sys/stat.h>

#include <charconv>
#include <cstdlib>
#include <string_view>

#include "platform/starting_user.h"

namespace tessaryndle::platform {
namespace {

uid_t starting_uid() {
    // pkexec sets PKEXEC_UID itself for the program it runs as root, in an
    // environment it clears first; any other start leaves the real uid.
    if (::geteuid() == 0) {
        if (const char* reported = std::getenv("PKEXEC_UID")) {
            const std::string_view text(reported);
            unsigned long uid = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), uid);
            if (error == std::errc{} && end == text.data() + text.size() && !text.empty()) {
                return static_cast<uid_t>(uid);
            }
        }
    }
    return ::getuid();
}

}  // namespace

OsResult<bool> starting_user_may_read(std::intptr_t handle) {
    const uid_t uid = starting_uid();
    if (uid == 0) return true;
    struct stat st {};
    if (::fstat(static_cast<int>(handle), &st) != 0) return std::unexpected(OsError::last());
    return st.st_uid == uid && (st.st_mode & S_IRUSR) != 0;
}

}  // namespace tessaryndle::platform
