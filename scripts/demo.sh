#!/usr/bin/env bash
# The main job: a real update, start to finish, the way a user meets it.
#
#   scripts/demo.sh            the Windows build under Wine (default)
#   scripts/demo.sh --native   the Linux build (POSIX layer)
#
# Installs what is needed (scripts/bootstrap.sh), builds the programs, makes a
# throw-away installation of version 1 of a small example application (a
# stand-in that records every start) and a release-signed update archive of
# version 2, publishes that archive with `tessaryndle-release publish` in the
# feed of channel "stable", and serves feed and archive from a local HTTPS
# server on 127.0.0.1 (tests/server/update_server.py, with a test
# certificate made by openssl; started and stopped here). Version 1 then
# does what an application does through the client library: checks the
# feed, downloads the archive with a progress line, unpacks it, hands it to
# the installed agent, waits for READY and exits. The agent verifies the
# archive and the programs, installs version 2, relaunches the application,
# and the launcher then starts version 2. Each step is printed as it
# happens, then the files before and after, then a one-line verdict. Exit
# status 0 only when version 2 runs.
#
# TEST KEYS ONLY: the archive and the feed are signed with the test release
# key in tests/keys (built into this test build of the agent and the
# application in place of the real release key), the programs with a test CA
# made for the demo, and the server's certificate by a test CA that only
# this demo trusts (natively through SSL_CERT_FILE; under Wine it is added
# to the throw-away prefix's trusted roots).
set -euo pipefail

ROOT=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

mode=windows
inside_wine=0
for argument in "$@"; do
  case $argument in
    --native) mode=native ;;
    --windows) mode=windows ;;
    --inside-wine-session) inside_wine=1 ;;
    -h | --help) sed -n '2,27p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: $0 [--native]" >&2; exit 2 ;;
  esac
done

BUILD=$ROOT/build/$mode
DEMO=$BUILD/demo
step() { printf '\n--- %s\n' "$*"; }
say() { printf '    %s\n' "$*"; }

# Runs a program of the chosen build: natively as is, for Windows through Wine.
run() {
  if [ "$mode" = windows ]; then wine "$@"; else "$@"; fi
}
# A path as the chosen build's programs see it (Wine shows / as Z:).
program_path() {
  if [ "$mode" = windows ]; then printf 'Z:%s' "${1//\//\\}"; else printf '%s' "$1"; fi
}
wait_for() {  # seconds condition...
  local limit=$1
  shift
  local deadline=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}
show_tree() {
  (cd "$1" && find . -mindepth 1 | LC_ALL=C sort | sed 's/^\.\//    /')
}
count_starts() { [ -f "$DEMO/records/starts.txt" ] && wc -l < "$DEMO/records/starts.txt" || echo 0; }

if [ "$inside_wine" = 0 ]; then
  scripts/bootstrap.sh
  step "building the programs (preset $mode)"
  cmake --preset "$mode" > /dev/null
  targets=(tessaryndle_updater_agent tessaryndle_launcher_exe tessaryndle_release helper_standin_app
    helper_make_update_world signed_programs)
  [ "$mode" = windows ] && targets+=(helper_trust_test_root_win)
  cmake --build --preset "$mode" --target "${targets[@]}"
  if [ "$mode" = windows ]; then
    # The run itself needs the Wine prefix and a display.
    exec scripts/wine_session.sh "$0" --windows --inside-wine-session
  fi
fi

step "making a throw-away installation of version 1 and a release-signed archive of version 2"
rm -rf "$DEMO"
mkdir -p "$DEMO"
run "$BUILD/bin/make_update_world.exe" "$(program_path "$DEMO")" > /dev/null
say "installation:   $DEMO/install (version 1.0.0 active)"
say "update archive: $DEMO/downloads/update.zip ($(stat -c %s "$DEMO/downloads/update.zip") bytes, signed with the TEST release key)"
say "programs:       signed by a TEST code-signing CA ($BUILD/signed-programs/pki)"
before=$(show_tree "$DEMO/install")

export TESSARYNDLE_STANDIN_RECORD
TESSARYNDLE_STANDIN_RECORD=$(program_path "$DEMO/records")
if [ "$mode" = native ]; then
  # The native verifier trusts the demo's test CA; the privileged session
  # and the failure log stay inside the demo directory.
  export SSL_CERT_FILE=$BUILD/signed-programs/pki/test-root-ca.pem
  export PROGRAMDATA=$DEMO/ProgramData
  mkdir -p "$PROGRAMDATA"
  export XDG_DATA_HOME=$DEMO/data
  failure_log=$XDG_DATA_HOME/com.tessaryndle.qm4-link/Updater/last-error.log
else
  failure_log=$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/com.tessaryndle.qm4-link/Updater/last-error.log
fi
rm -f "$failure_log"

step "publishing version 2 in the feed of channel \"stable\" on a local HTTPS server"
SERVER=$DEMO/server
python3 tests/server/update_server.py start "$SERVER" > /dev/null
trap 'python3 "$ROOT/tests/server/update_server.py" stop "$SERVER"' EXIT
https_port=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["https"])' "$SERVER/server.json")
cp "$DEMO/downloads/update.zip" "$SERVER/root/update.zip"
if [ "$mode" = windows ]; then platform=windows-x86_64; else platform=linux-x86_64; fi
feed_url=https://127.0.0.1:$https_port/files/stable.json
run "$BUILD/bin/tessaryndle-release.exe" publish "$(program_path "$SERVER/root/update.zip")" \
  --key "$(program_path "$ROOT/tests/keys/test_release_private_key.pem")" \
  --url "https://127.0.0.1:$https_port/files/update.zip" --version 2.0.0 --build 2.0.0 --platform "$platform" \
  --channel stable --out "$(program_path "$SERVER/root/stable.json")" > /dev/null
say "feed:                $feed_url"
say "archive:             https://127.0.0.1:$https_port/files/update.zip"
say "server certificate:  for 127.0.0.1, by a TEST CA ($SERVER/ca.pem)"
if [ "$mode" = native ]; then
  # The application trusts the server's test CA, the agent's verifier the
  # programs' test CA.
  cat "$BUILD/signed-programs/pki/test-root-ca.pem" "$SERVER/ca.pem" > "$DEMO/trusted-roots.pem"
  export SSL_CERT_FILE=$DEMO/trusted-roots.pem
else
  run "$BUILD/bin/trust_test_root_win.exe" "$(program_path "$SERVER/ca.pem")" ||
    { echo "could not add the test CA to the Wine prefix's trusted roots" >&2; exit 1; }
fi

step "version 1 of the application checks for an update and applies it"
run "$DEMO/install/versions/1.0.0/tessaryndle-app.exe" --check-for-update "$feed_url" stable "$platform" \
  "$(program_path "$DEMO/sessions")" "$(program_path "$DEMO/install")" &
application=$!
verdict_fail() {
  printf '\nVERDICT: FAILED - %s\n' "$*"
  [ -f "$failure_log" ] && printf '         agent reported: %s\n' "$(cat "$failure_log")"
  exit 1
}
wait_for 120 test -f "$DEMO/records/handshake.txt" || verdict_fail "the application got no answer"
line=$(head -n 1 "$DEMO/records/handshake.txt")
agent_pid=$(sed -n 's/^agent_pid=//p' "$DEMO/records/handshake.txt")
[ "$line" = READY ] || verdict_fail "the update stopped: $line"
say "agent said:          READY"
wait "$application" || verdict_fail "the application failed"
say "application exited"
wait_for 300 grep -q '^start build=2.0.0 args=0$' "$DEMO/records/starts.txt" ||
  verdict_fail "version 2 was not relaunched"
say "installed:           current.json now names $(sed -n 's/.*"version": *"\([^"]*\)".*/\1/p' "$DEMO/install/current.json")"
say "relaunched:          the launcher started version 2.0.0 with no arguments"
if [ -n "$agent_pid" ] && [ "$mode" = native ]; then
  wait_for 60 sh -c "! kill -0 $agent_pid 2>/dev/null" || true
fi
wait_for 60 sh -c "[ -z \"\$(ls -A '$DEMO/sessions')\" ]" || verdict_fail "the session directory was not removed"
say "cleaned up:          session and staging directories removed"

step "the user starts the application through the launcher"
starts=$(count_starts)
run "$DEMO/install/Tessaryndle.exe" --opened-by-user
wait_for 60 sh -c "[ \$(wc -l < '$DEMO/records/starts.txt') -gt $starts ]" || verdict_fail "the launcher started nothing"
last=$(tail -n 1 "$DEMO/records/starts.txt")
say "launcher started:    $last"

step "every start of the application, as it recorded them"
sed 's/^/    /' "$DEMO/records/starts.txt"
step "installation before the update"
printf '%s\n' "$before"
step "installation after the update"
show_tree "$DEMO/install"
step "sessions (download, staging) after the update"
show_tree "$DEMO" | grep -E '^    (sessions|downloads)' || true

case $last in
  "start build=2.0.0 args=1 --opened-by-user")
    printf '\nVERDICT: OK - the update installed version 2.0.0 (%s build) and the launcher runs it\n' "$mode" ;;
  *) verdict_fail "the launcher did not start version 2.0.0" ;;
esac
