#!/usr/bin/env bash
# How much start-up time the launcher adds (native build).
#
# Builds an optimised launcher (no sanitizers, no tests) into $BUILD_DIR,
# makes a throw-away installation whose only build is a trivial program
# (/bin/true as versions/bench/tessaryndle-app.exe) and times, over many
# runs, starting that program through the launcher against starting it
# directly. Each run is timed until the program has finished: the program
# inherits a pipe from the timer, which waits for its end of input, so the
# launcher's own exit does not end the measurement early. Runs of the two
# kinds alternate so that drifts of the machine's load hit both alike; the
# result is the median of each kind and the difference of the medians.
# (hyperfine is not used: its shell-based timing of a pipeline is far noisier
# than the sub-millisecond difference measured here.)
#
# Usage: bench/launcher_bench.sh [RUNS]      (default 2000)
#        BUILD_DIR=build/bench-release bench/launcher_bench.sh
set -euo pipefail

ROOT=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
RUNS=${1:-2000}
BUILD_DIR=${BUILD_DIR:-$ROOT/build/bench-release}

cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARYNDLE_BUILD_TESTS=OFF \
  -DTESSARYNDLE_SANITIZE=OFF >/dev/null
cmake --build "$BUILD_DIR" --target tessaryndle_launcher_exe -j2 >/dev/null

INSTALL=$(mktemp -d)
trap 'rm -rf "$INSTALL"' EXIT
mkdir -p "$INSTALL/versions/bench"
cp "$BUILD_DIR/bin/Tessaryndle.exe" "$INSTALL/Tessaryndle.exe"
cp "$(type -P true)" "$INSTALL/versions/bench/tessaryndle-app.exe"
printf '{\n  "schema": 1,\n  "version": "bench",\n  "executable": "versions\\\\bench\\\\tessaryndle-app.exe"\n}' \
  >"$INSTALL/current.json"

LAUNCHER=$INSTALL/Tessaryndle.exe
APP=$INSTALL/versions/bench/tessaryndle-app.exe
# Both must work before anything is timed.
"$LAUNCHER" --some argument
"$APP" --some argument

python3 - "$LAUNCHER" "$APP" "$RUNS" <<'EOF'
import statistics
import subprocess
import sys
import time

launcher, app, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])

def once(program):
    start = time.perf_counter_ns()
    # communicate() returns at the end of input, i.e. when the program
    # started last (the launcher's child) has finished too.
    process = subprocess.Popen([program, "--some", "argument"], stdout=subprocess.PIPE)
    process.communicate()
    elapsed = time.perf_counter_ns() - start
    if process.returncode != 0:
        sys.exit(f"{program} exited with {process.returncode}")
    return elapsed / 1e6

for _ in range(50):  # warm-up
    once(launcher)
    once(app)
via, direct = [], []
for _ in range(runs):
    via.append(once(launcher))
    direct.append(once(app))

m_via, m_direct = statistics.median(via), statistics.median(direct)
print(f"runs: {runs} of each")
print(f"through the launcher: median {m_via:.3f} ms")
print(f"directly:             median {m_direct:.3f} ms")
print(f"median overhead:      {m_via - m_direct:.3f} ms")
EOF

