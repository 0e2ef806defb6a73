#!/usr/bin/env bash
# Runs a command inside a prepared Wine session for the Windows build:
#
#   scripts/wine_session.sh COMMAND [ARGS...]
#
# - The Wine prefix lives in the build tree (build/windows/wine-prefix, or
#   $WINEPREFIX when set), so tests never touch ~/.wine.
# - The command runs under its own Xvfb display (xvfb-run): windows need a
#   display, and tests should not open them on a developer's desktop. Set
#   TESSARYNDLE_WINE_DISPLAY=keep to use $DISPLAY instead.
# - A persistent wineserver and Wine's services are started BEFORE the
#   command, detached from every pipe. Otherwise each Wine process waits
#   about 2.5 s for the services to stop at its exit, and services started
#   by the first test keep CTest's output pipe open so that CTest hangs.
# - The server is stopped with `wineserver -k` when the command ends,
#   whatever its outcome. The command's exit status is returned.
set -euo pipefail

ROOT=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }

if [ "${TESSARYNDLE_WINE_DISPLAY:-}" != keep ] && [ "${TESSARYNDLE_WINE_IN_XVFB:-}" != 1 ]; then
  export TESSARYNDLE_WINE_IN_XVFB=1
  exec xvfb-run -a -s "-screen 0 1920x1080x24" "$ROOT/scripts/wine_session.sh" "$@"
fi

export WINEPREFIX=${WINEPREFIX:-$ROOT/build/windows/wine-prefix}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko: nothing here needs them, and their installer would ask.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
mkdir -p "$WINEPREFIX"

# shellcheck disable=SC2317  # called by the trap
stop_server() { wineserver -k </dev/null >/dev/null 2>&1 || true; }
trap stop_server EXIT

# Fails harmlessly when a server for this prefix is already running.
wineserver -p </dev/null >/dev/null 2>&1 || true
# Creates the prefix on first use (several seconds) and starts the services.
wine cmd /c exit </dev/null >/dev/null 2>&1

status=0
"$@" || status=$?
exit "$status"
