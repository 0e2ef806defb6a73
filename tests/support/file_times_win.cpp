#include <windows.h>

#include <gtest/gtest.h>

#include "tests/support/file_times.h"

namespace tessaryndle::test {

void make_two_minutes_old(const std::filesystem::path& path) {
    HANDLE handle =
        CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << path;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks{};
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    ticks.QuadPart -= 120ull * 10'000'000ull;
    const FILETIME old{ticks.LowPart, ticks.HighPart};
    EXPECT_TRUE(SetFileTime(handle, nullptr, nullptr, &old)) << path;
    CloseHandle(handle);
}

}  // namespace tessaryndle::test
