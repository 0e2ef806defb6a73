#include <cerrno>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "agent/extract_platform.h"

namespace tessaryndle::agent {

platform::OsResult<zip_source_t*> archive_source(const platform::InputFile& archive) {
    const auto duplicate = archive.duplicate_native_handle();
    if (!duplicate) return std::unexpected(duplicate.error());
    const int fd = static_cast<int>(*duplicate);
    FILE* stream = ::fdopen(fd, "rb");
    if (stream == nullptr) {
        const OsError error = OsError::last();
        ::close(fd);
        return std::unexpected(error);
    }
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_filep_create(stream, 0, -1, &error);
    if (source == nullptr) {
        const std::string text = zip_error_strerror(&error);
        zip_error_fini(&error);
        std::fclose(stream);
        return std::unexpected(OsError::custom(text));
    }
    zip_error_fini(&error);
    return source;
}

}  // namespace tessaryndle::agent
