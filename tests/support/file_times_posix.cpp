#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <ctime>

#include "tests/support/file_times.h"

namespace tessaryndle::test {

void make_two_minutes_old(const std::filesystem::path& path) {
    timespec times[2]{};
    times[0].tv_sec = times[1].tv_sec = std::time(nullptr) - 120;
    EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

}  // namespace tessaryndle::test
