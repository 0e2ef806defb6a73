#!/usr/bin/env bash
# Times the elevated worker's whole durable run (copy, verification,
# extraction, signature checks of the programs, activation with everything
# flushed) against the plain serial pipeline doing the same work on the same
# disk (`cp`, `sha256sum`, `sha512sum`, `unzip -q`, `sync` of the extracted
# tree), for two payloads: 512 MiB in about 2,003 files and 1 GiB in about
# 10,003 files, half of them incompressible. Shows each run with the load
# average before it, then the medians and the ratio. Not a test: the figures
# depend on the machine and on what else runs on it.
#
# Usage: scripts/bench_update.sh [BUILD_DIRECTORY] [WORK_DIRECTORY] [RUNS]
#   BUILD_DIRECTORY  a release build with the tests' signed programs and the
#                    benchmarks (default build/bench-update, configured and
#                    built here when missing)
#   WORK_DIRECTORY   where the installation, the archive and the pipeline's
#                    output lie; it must be on the disk to measure, not a
#                    tmpfs (default a new directory in /var/tmp, removed
#                    afterwards)
#   RUNS             runs of each side per size (default 3)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/bench-update}
runs=${3:-3}

# The test programs are built too (for the signed programs); at -O3 GCC 12
# warns wrongly about overlapping copies inside libstdc++ in one of them.
if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-Wno-error=restrict \
        -DTESSARYNDLE_BUILD_TESTS=ON \
        -DTESSARYNDLE_TEST_HOOKS=ON -DTESSARYNDLE_BUILD_BENCH=ON \
        -DTESSARYNDLE_RELEASE_PUBLIC_KEY="HD2s5xPBrHsyJENOQOK+qVS4xSiUVPi2Qwm0VuhTWHI=" > /dev/null
fi
# Built every time: the worker under test must be the checkout's.
cmake --build "$build" --target update_bench -j2 > /dev/null

if [[ -n ${2:-} ]]; then
    work=$2
else
    work=$(mktemp -d /var/tmp/bench-update.XXXXXX)
    trap 'rm -rf "$work"' EXIT
fi

printf 'worker against pipeline, %s runs each, medians (uptime: %s)\n' "$runs" "$(uptime)"
"$build/bin/update_bench" "$work/512" 512 2000 "$runs"
"$build/bin/update_bench" "$work/1024" 1024 10000 "$runs"
