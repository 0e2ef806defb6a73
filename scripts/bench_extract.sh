#!/usr/bin/env bash
# Times extract_update_archive against `unzip -q` and `bsdtar -xf` on the same
# two archives, one run each side by side: 16,384 files of 64 KiB (1 GiB) and
# one file of 256 MiB, both Deflate. Shows wall-clock seconds and each run's
# peak resident memory. Not a test: the figures depend on the machine.
#
# Usage: scripts/bench_extract.sh [BUILD_DIRECTORY] [WORK_DIRECTORY]
#   BUILD_DIRECTORY  a release build with the benchmarks (default build/bench,
#                    configured and built here when missing)
#   WORK_DIRECTORY   where the archives are made and extracted (default a new
#                    directory in /dev/shm, so that the disk's write-back does
#                    not blur the figures; removed afterwards)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/bench}

if [[ ! -x $build/bin/extract_bench ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARYNDLE_BUILD_TESTS=OFF \
        -DTESSARYNDLE_BUILD_BENCH=ON > /dev/null
    cmake --build "$build" --target extract_bench -j2 > /dev/null
fi
bench=$build/bin/extract_bench

if [[ -n ${2:-} ]]; then
    work=$2
    mkdir -p "$work"
else
    work=$(mktemp -d /dev/shm/bench-extract.XXXXXX)
    trap 'rm -rf "$work"' EXIT
fi
if [[ ! -f $work/many.zip || ! -f $work/one.zip ]]; then
    python3 "$root/bench/make_bench_archives.py" "$work"
fi

# One timed run of a command that extracts into $work/out: sets $seconds
# (wall clock) and $kib (peak RSS). The output is removed before the next
# run, outside the timing.
timed() {
    rm -rf "$work/out"
    /usr/bin/time -f '%e %M' -o "$work/time" "$@" > /dev/null
    read -r seconds kib < "$work/time"
    rm -rf "$work/out"
}

printf 'load average before: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
for archive in many one; do
    zip=$work/$archive.zip
    cat "$zip" > /dev/null  # in the page cache for every contender
    timed unzip -q "$zip" -d "$work/out"
    unzip_s=$seconds unzip_kib=$kib
    timed bash -c 'mkdir -p "$1" && exec bsdtar -xf "$2" -C "$1"' _ "$work/out" "$zip"
    bsdtar_s=$seconds bsdtar_kib=$kib
    timed "$bench" "$zip" "$work/out"
    ours_s=$seconds ours_kib=$kib
    best=$(awk "BEGIN { print ($unzip_s < $bsdtar_s) ? $unzip_s : $bsdtar_s }")
    printf '%s.zip (%d MiB)\n' "$archive" $(( $(stat -c %s "$zip") / 1048576 ))
    printf '  unzip -q                %6.2f s  %8d KiB\n' "$unzip_s" "$unzip_kib"
    printf '  bsdtar -xf              %6.2f s  %8d KiB\n' "$bsdtar_s" "$bsdtar_kib"
    printf '  extract_update_archive  %6.2f s  %8d KiB  (%.2f x the faster of the two)\n' \
        "$ours_s" "$ours_kib" "$(awk "BEGIN { print $ours_s / $best }")"
done
printf 'load average after: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
