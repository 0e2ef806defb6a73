#!/usr/bin/env bash
# Fails when a lower layer includes a higher one. The layers, bottom up:
#   platform/  the operating-system seam (with OsError and native text)
#   common/    what both programs share (errors, strict JSON, manifest, path rules,
#              the release feed)
#   extraction/  the safe extraction of an update archive, on common/ and
#              platform/: the agent's worker and the application unpack alike
#   agent/, launcher/  the two programs, never including each other
#   client/    the application's side: update check, download, unpacking,
#              plans and the handshake with the agent, on extraction/,
#              common/ and platform/ only (the application never carries the
#              agent's trust decisions)
#   tools/     programs for the people who ship releases (tools/release on the
#              agent's own checks); nothing includes them
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

check platform common extraction agent launcher client tools
check common extraction agent launcher client tools
check extraction agent launcher client tools
check agent launcher client tools
check launcher extraction agent client tools
check client agent launcher tools
for dir in tools/*/; do
  check "${dir%/}" launcher client
done
[ $status -eq 0 ] && echo "layers: every include points down"
exit $status
