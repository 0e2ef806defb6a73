#include <windows.h>

#include <string>

#include "extraction/extract_platform.h"

namespace tessaryndle::extraction {

platform::OsResult<ArchiveSource> archive_source(const platform::InputFile& archive, SourcePosition position) {
    const auto duplicate =
        position == SourcePosition::Own ? archive.reopen_native_handle() : archive.duplicate_native_handle();
    if (!duplicate) return std::unexpected(duplicate.error());
    HANDLE handle = reinterpret_cast<HANDLE>(*duplicate);
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_win32handle_create(handle, 0, -1, &error);
    if (source == nullptr) {
        const std::string text = zip_error_strerror(&error);
        zip_error_fini(&error);
        CloseHandle(handle);
        return std::unexpected(OsError::custom(text));
    }
    zip_error_fini(&error);
    return ArchiveSource{source, nullptr};
}

}  // namespace tessaryndle::extraction
