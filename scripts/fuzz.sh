#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang 16, AddressSanitizer and
# UBSan) and runs each on a copy of its seed corpus, one after the other on
# one core. Fails when any target reports a finding (a crash, a sanitizer
# report, a violated property, a timeout or running out of memory); the
# input is kept in build/fuzz/findings/.
#
# Usage: scripts/fuzz.sh [--long] [--seconds N] [--runs N] [TARGET...]
#   (default)    every target for 10 seconds on a fresh copy of fuzz/corpus/
#   --long       every target for 3600 seconds (or --seconds N), on a corpus
#                kept across runs in build/fuzz/long-corpus/
#   --runs N     also stop each target after N executions (whichever limit
#                comes first)
#   TARGET...    only these (base64, command_line, extract, feed, install_result,
#                manifest, path_rules, plan)
# Prints one line per target: executions, libFuzzer's cov: and ft: figures
# and the corpus size; logs are in build/fuzz/logs/.
set -uo pipefail

ROOT=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT" || exit 1

seconds=10
runs_limit=
long=0
targets=()
while [ $# -gt 0 ]; do
  case $1 in
    --long) long=1; seconds=3600 ;;
    --seconds) seconds=$2; shift ;;
    --runs) runs_limit=$2; shift ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) targets+=("$1") ;;
  esac
  shift
done
[ ${#targets[@]} -gt 0 ] || targets=(base64 command_line extract feed install_result manifest path_rules plan)

cmake --preset fuzz >/dev/null && cmake --build --preset fuzz || exit 1

BIN=$ROOT/build/fuzz/bin
LOGS=$ROOT/build/fuzz/logs
FINDINGS=$ROOT/build/fuzz/findings
mkdir -p "$LOGS" "$FINDINGS"

# The targets write below $TMPDIR (the extraction target a whole tree per
# input): a tmpfs keeps that from waiting on the disk's journal.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then scratch_parent=/dev/shm; else scratch_parent=$ROOT/build/fuzz; fi
SCRATCH=$(mktemp -d "$scratch_parent/tessaryndle-fuzz.XXXXXX") || exit 1
trap 'rm -rf -- "$SCRATCH"' EXIT

dictionary() {
  case $1 in
    plan|manifest|install_result|feed) echo "-dict=$ROOT/fuzz/json.dict" ;;
    extract) echo "-dict=$ROOT/fuzz/zip.dict" ;;
    path_rules|command_line) echo "-dict=$ROOT/fuzz/paths.dict" ;;
  esac
}

failed=()
for target in "${targets[@]}"; do
  binary=$BIN/fuzz_$target
  [ -x "$binary" ] || { echo "fuzz: no target $target" >&2; failed+=("$target"); continue; }
  if [ $long -eq 1 ]; then
    corpus=$ROOT/build/fuzz/long-corpus/$target
    mkdir -p "$corpus"
  else
    corpus=$SCRATCH/corpus-$target
    rm -rf -- "$corpus"
    mkdir -p "$corpus"
  fi
  cp -- "$ROOT/fuzz/corpus/$target"/* "$corpus"/ 2>/dev/null
  # The third-party archives of the conformance tests, where they are.
  if [ "$target" = extract ]; then
    for zip in "$ROOT"/tests/conformance/zip/*.zip "$ROOT"/../shared/conformance/zip/*.zip; do
      [ -f "$zip" ] && cp -- "$zip" "$corpus/conformance-$(basename -- "$zip")"
    done
  fi
  log=$LOGS/$target.log
  mkdir -p "$SCRATCH/tmp-$target"
  started=$SECONDS
  TMPDIR=$SCRATCH/tmp-$target "$binary" $(dictionary "$target") -max_total_time="$seconds" \
    ${runs_limit:+-runs="$runs_limit"} -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$FINDINGS/$target-" "$corpus" >"$log" 2>&1
  status=$?
  elapsed=$((SECONDS - started))
  rm -rf -- "$SCRATCH/tmp-$target"
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$log" | tail -n 1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
  cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$last")
  ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$last")
  corp=$(sed -nE 's/.* corp: ([0-9]+)\/.*/\1/p' <<<"$last")
  if [ $status -eq 0 ]; then
    printf 'fuzz %-15s ok      %10s executions in %ss, cov: %s ft: %s, corpus %s\n' \
      "$target" "${runs:-?}" "$elapsed" "${cov:-?}" "${ft:-?}" "${corp:-?}"
  elif [ $status -eq 72 ]; then
    # libFuzzer's status after SIGINT: stopped by hand, nothing found; its
    # final figures are in the log. Still not a passing run.
    printf 'fuzz %-15s interrupted after %s executions in %ss (no finding); see %s\n' \
      "$target" "${runs:-?}" "$elapsed" "$log"
    failed+=("$target")
  else
    printf 'fuzz %-15s FINDING (status %s) after %s executions; see %s and %s\n' \
      "$target" "$status" "${runs:-?}" "$log" "$FINDINGS"
    grep -m 5 -E 'property violated|ERROR: |SUMMARY' "$log" | sed 's/^/    /'
    failed+=("$target")
  fi
done

[ ${#failed[@]} -eq 0 ] || { echo "fuzz: not passed: ${failed[*]}" >&2; exit 1; }
