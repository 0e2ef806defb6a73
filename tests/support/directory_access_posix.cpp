#include <unistd.h>
#include <sys/stat.h>

#include <cstdio>

#include "tests/support/directory_access.h"

namespace tessaryndle::test {

std::string directory_access(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return "(cannot be examined)";
    const std::string owner = st.st_uid == ::geteuid() ? "this user" : "uid " + std::to_string(st.st_uid);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return "owner: " + owner + ", mode " + mode;
}

bool file_security_is_kept() { return true; }

}  // namespace tessaryndle::test
