#pragma once
// How libzip is handed the archive that extraction opened itself. Internal
// to extraction; extract_win.cpp and extract_posix.cpp implement it.

#include <zip.h>

#include <memory>

#include "platform/input_file.h"

namespace tessaryndle::extraction {

struct ArchiveSource {
    // Reads the archive through a duplicate of its handle and owns that
    // duplicate; the archive opened from it owns the source.
    zip_source_t* source = nullptr;
    // Natively the buffer of the stdio stream below the source: it must
    // outlive the archive opened from the source. Empty on Windows.
    std::unique_ptr<char[]> stream_buffer;
};

// Whose file position a source reads with: the archive's own, shared with
// its duplicates (one reader at a time), or one of the source's own, so that
// sources on several threads never move each other's reads.
enum class SourcePosition { Shared, Own };

// A libzip source over `archive`: zip_source_win32handle_create on Windows;
// elsewhere a stdio stream with a 64 KiB buffer over a duplicated
// descriptor. With SourcePosition::Own the handle below is a new open of the
// file (InputFile::reopen_native_handle) rather than a duplicate. On failure
// nothing is left open.
[[nodiscard]] platform::OsResult<ArchiveSource> archive_source(const platform::InputFile& archive,
                                                               SourcePosition position = SourcePosition::Shared);

}  // namespace tessaryndle::extraction
