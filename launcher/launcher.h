#pragma once
// The launcher: starts the active build named by the manifest beside it,
// falling back to the previous build.

namespace tessaryndle::launcher {

// The whole launcher run; returns the exit status (0 started, 1 failed).
[[nodiscard]] int run_launcher();

}  // namespace tessaryndle::launcher
