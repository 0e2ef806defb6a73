#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include "extraction/extract_platform.h"

namespace tessaryndle::extraction {
namespace {

constexpr std::size_t STREAM_BUFFER_BYTES = 64 * 1024;

}  // namespace

platform::OsResult<ArchiveSource> archive_source(const platform::InputFile& archive, SourcePosition position) {
    const auto duplicate =
        position == SourcePosition::Own ? archive.reopen_native_handle() : archive.duplicate_native_handle();
    if (!duplicate) return std::unexpected(duplicate.error());
    const int fd = static_cast<int>(*duplicate);
    FILE* stream = ::fdopen(fd, "rb");
    if (stream == nullptr) {
        const OsError error = OsError::last();
        ::close(fd);
        return std::unexpected(error);
    }
    // libzip reads compressed data 8 KiB at a time, each read after a seek
    // to where the last one ended; a larger stream buffer turns that into
    // one read per 64 KiB (glibc serves seeks inside the buffer). glibc
    // ignores the size unless it is given the buffer itself.
    auto buffer = std::make_unique_for_overwrite<char[]>(STREAM_BUFFER_BYTES);
    std::setvbuf(stream, buffer.get(), _IOFBF, STREAM_BUFFER_BYTES);
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
    return ArchiveSource{source, std::move(buffer)};
}

}  // namespace tessaryndle::extraction
