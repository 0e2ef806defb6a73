#include <windows.h>

#include "platform/console.h"

namespace tessaryndle::platform {

bool write_stdout(std::string_view bytes) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
    while (!bytes.empty()) {
        const DWORD chunk = bytes.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!WriteFile(out, bytes.data(), chunk, &written, nullptr)) return false;
        bytes.remove_prefix(written);
    }
    return true;
}

bool flush_stdout() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
    // Pipes and consoles refuse FlushFileBuffers with nothing pending; only a
    // disk file can fail meaningfully.
    if (GetFileType(out) == FILE_TYPE_DISK) return FlushFileBuffers(out) != 0;
    return true;
}

}  // namespace tessaryndle::platform
