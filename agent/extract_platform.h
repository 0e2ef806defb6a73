#pragma once
// How libzip is handed the archive that extraction opened itself. Internal
// to extraction; extract_win.cpp and extract_posix.cpp implement it.

#include <zip.h>

#include "platform/input_file.h"

namespace tessaryndle::agent {

// A libzip source that reads `archive` through a duplicate of its handle
// and owns that duplicate (zip_source_win32handle_create on Windows; a stdio
// stream over a duplicated descriptor elsewhere). On failure nothing is
// left open.
[[nodiscard]] platform::OsResult<zip_source_t*> archive_source(const platform::InputFile& archive);

}  // namespace tessaryndle::agent
