#!/usr/bin/env bash
# Times verify_artifact on a 256 MiB archive, with and without a digest,
# beside `openssl dgst -sha256` and `openssl dgst -sha512` on the same file,
# and shows each run's peak resident memory. Not a test: the figures depend
# on the machine.
#
# Usage: scripts/bench_verify.sh [BUILD_DIRECTORY] [SIZE_MIB]
#   BUILD_DIRECTORY  a release build with the benchmarks (default build/bench,
#                    configured and built here when missing)
#   SIZE_MIB         archive size (default 256)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/bench}
size_mib=${2:-256}

if [[ ! -x $build/bin/verify_bench ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARYNDLE_BUILD_TESTS=OFF \
        -DTESSARYNDLE_BUILD_BENCH=ON > /dev/null
    cmake --build "$build" --target verify_bench -j2 > /dev/null
fi
bench=$build/bin/verify_bench

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-verify.XXXXXX")
trap 'rm -rf "$work"' EXIT
archive=$work/update.zip
head -c $((size_mib * 1024 * 1024)) /dev/urandom > "$archive"
"$bench" prepare "$archive"

# Best of five wall-clock seconds of a command, and the peak RSS of the
# slowest-memory run (GNU time's "Maximum resident set size", KiB).
best_of() {
    local best="" peak=0
    for _ in 1 2 3 4 5; do
        /usr/bin/time -f '%e %M' -o "$work/time" "$@" > /dev/null
        read -r seconds rss < "$work/time"
        if [[ -z $best ]] || awk "BEGIN { exit !($seconds < $best) }"; then best=$seconds; fi
        (( rss > peak )) && peak=$rss
    done
    echo "$best $peak"
}

cat "$archive" > /dev/null  # warm the page cache
read -r sha256_s sha256_kib < <(best_of openssl dgst -sha256 "$archive")
read -r sha512_s sha512_kib < <(best_of openssl dgst -sha512 "$archive")
read -r digest_s digest_kib < <(best_of "$bench" verify "$archive" digest 1)
read -r plain_s plain_kib < <(best_of "$bench" verify "$archive" no-digest 1)

both=$(awk "BEGIN { print $sha256_s + $sha512_s }")
printf '%s MiB archive, best of 5 runs (wall-clock seconds, peak RSS)\n' "$size_mib"
printf '  openssl dgst -sha256          %6.2f s  %8d KiB\n' "$sha256_s" "$sha256_kib"
printf '  openssl dgst -sha512          %6.2f s  %8d KiB\n' "$sha512_s" "$sha512_kib"
printf '  verify_artifact with digest   %6.2f s  %8d KiB  (%.2f x the two openssl passes)\n' \
    "$digest_s" "$digest_kib" "$(awk "BEGIN { print $digest_s / $both }")"
printf '  verify_artifact no digest     %6.2f s  %8d KiB  (%.2f x openssl -sha512)\n' \
    "$plain_s" "$plain_kib" "$(awk "BEGIN { print $plain_s / $sha512_s }")"
printf '  (verify_artifact maps the archive: its peak RSS counts the mapped pages it has read, %d KiB of file)\n' \
    $((size_mib * 1024))
