#pragma once
// The process's standard output, unbuffered. A GUI-subsystem program has a
// standard output only when its parent redirected one.

#include <string_view>

namespace tessaryndle::platform {

// Writes all bytes to standard output; false when there is none or writing
// failed.
[[nodiscard]] bool write_stdout(std::string_view bytes);
// Flushes standard output to its reader; false on failure.
[[nodiscard]] bool flush_stdout();

}  // namespace tessaryndle::platform
