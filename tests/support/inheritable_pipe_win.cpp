#include <windows.h>

#include <stdexcept>

#include "tests/support/inheritable_pipe.h"

namespace tessaryndle::test {
namespace {

HANDLE as_handle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

InheritablePipe::InheritablePipe() {
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, nullptr, 0)) throw std::runtime_error("CreatePipe failed");
    read_ = reinterpret_cast<std::intptr_t>(read_end);
    write_ = reinterpret_cast<std::intptr_t>(write_end);
    if (!SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        CloseHandle(read_end);
        CloseHandle(write_end);
        throw std::runtime_error("SetHandleInformation failed");
    }
}

InheritablePipe::~InheritablePipe() {
    close_write_end();
    CloseHandle(as_handle(read_));
}

void InheritablePipe::close_write_end() {
    if (write_ != -1) CloseHandle(as_handle(write_));
    write_ = -1;
}

bool InheritablePipe::wait_for_end_of_output() {
    char chunk[256];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(as_handle(read_), chunk, sizeof chunk, &n, nullptr)) return GetLastError() == ERROR_BROKEN_PIPE;
    }
}

}  // namespace tessaryndle::test
