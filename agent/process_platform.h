#pragma once
// The platform pieces behind agent/process.h, shared by its portable logic
// (process.cpp) and the two platform files. Not for other modules.

#include <cstdint>
#include <filesystem>
#include <span>

namespace tessaryndle::agent::process_detail {

enum class ProbeOutcome {
    created,     // the file was created, and is already deleted and closed again
    name_taken,  // something exists under the name: try another one
    failed,      // any other failure: no write access, as far as we can tell
};

// Creates `path` only when nothing exists under it, for reading and writing,
// with the temporary-file attribute, and deletes and closes it at once.
[[nodiscard]] ProbeOutcome create_probe_file(const std::filesystem::path& path);

}  // namespace tessaryndle::agent::process_detail
