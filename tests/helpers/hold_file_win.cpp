// Holds a file open the way another program can on Windows: without any
// sharing, so that nobody may read, write, rename or delete it meanwhile.
//   hold_file_win <file> <release-file>
// Prints "held" once the file is open (or "ERROR:<code>" and exits 1), then
// waits until <release-file> exists (at most 120 s), closes the file and
// exits 0.

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/command_line.h"

int main() {
    const auto arguments = tessaryndle::platform::command_line_arguments();
    if (arguments.size() != 3) {
        std::fputs("usage: hold_file_win <file> <release-file>\n", stderr);
        return 2;
    }
    HANDLE file =
        CreateFileW(arguments[1].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("ERROR:%lu\n", GetLastError());
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    const std::filesystem::path release(arguments[2]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    std::error_code ec;
    while (!std::filesystem::exists(release, ec) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    CloseHandle(file);
    return 0;
}
