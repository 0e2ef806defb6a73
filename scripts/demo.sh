#!/usr/bin/env bash
# The main job, on a fresh machine or an existing checkout: installs what is
# needed (scripts/bootstrap.sh), builds both programs for Linux (preset
# "native") and for Windows (preset "windows", mingw-w64 cross build) and
# shows where they are and what they are.
set -euo pipefail

ROOT=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

PROGRAMS=(tessaryndle_updater_agent tessaryndle_launcher_exe)
FILES=(tessaryndle-updater-agent.exe Tessaryndle.exe)

scripts/bootstrap.sh
for preset in native windows; do
  printf '\n=== building the programs (preset %s)\n' "$preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target "${PROGRAMS[@]}"
done

printf '\n=== the programs\n'
for preset in native windows; do
  for f in "${FILES[@]}"; do
    path="build/$preset/bin/$f"
    printf '%s\n    %s\n' "$ROOT/$path" "$(file -b "$path")"
  done
done

printf '\n=== DLLs the Windows programs import (only Windows'"'"' own)\n'
for f in "${FILES[@]}"; do
  dlls=$(x86_64-w64-mingw32-objdump -p "build/windows/bin/$f" | sed -n 's/^\tDLL Name: //p' | tr '\n' ' ')
  printf '%-32s %s\n' "$f" "$dlls"
done
