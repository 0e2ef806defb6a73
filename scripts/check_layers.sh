#!/usr/bin/env bash
# Fails when a lower layer includes a higher one. The layers, bottom up:
#   platform/  the operating-system seam (with OsError and native text)
#   common/    what both programs share (errors, strict JSON, manifest, path rules)
#   agent/, launcher/  the two programs, never including each other
# Usage: scripts/check_layers.sh   (prints every offending include; exit 1 if any)
set -uo pipefail
cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." || exit 1

status=0
check() { # DIRECTORY FORBIDDEN-INCLUDE-PREFIXES...
  local dir=$1
  shift
  local pattern
  pattern=$(printf '%s|' "$@")
  pattern="^[[:space:]]*#[[:space:]]*include[[:space:]]*\"(${pattern%|})/"
  local hits
  hits=$(grep -n -E "$pattern" "$dir"/*.h "$dir"/*.cpp 2>/dev/null)
  if [ -n "$hits" ]; then
    printf '%s must not include %s:\n%s\n' "$dir/" "$*" "$hits" >&2
    status=1
  fi
}

check platform common agent launcher client
check common agent launcher client
check agent launcher
check launcher agent
[ $status -eq 0 ] && echo "layers: every include points down"
exit $status
