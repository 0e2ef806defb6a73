#!/usr/bin/env bash
# Looks at the agent's progress window from the X server's side, as a user
# would see it on a 1920x1080 screen, and checks it:
#
#   progress_window_x11.sh native AGENT [SCREENSHOT.png]
#   progress_window_x11.sh wine   AGENT [SCREENSHOT.png]
#
# - with delay 0 the window "Updating Tessaryndle" appears at once, 420x150,
#   centred (x 750, y 465);
# - natively, destroying the window does not end the helper;
# - with a long delay no window appears before the helper is terminated;
# - with a screenshot path, the window is photographed (xwd, ImageMagick).
# Runs under an X display: its own through xvfb-run when there is none.
# Exits 0 when all checks pass, 1 otherwise, 77 when a tool is missing.
set -u

if [ -z "${DISPLAY:-}" ]; then
  command -v xvfb-run >/dev/null || { echo "xvfb-run is missing"; exit 77; }
  exec xvfb-run -a -s "-screen 0 1920x1080x24" "$0" "$@"
fi
for tool in xdotool xwininfo xwd convert; do
  command -v "$tool" >/dev/null || { echo "$tool is missing"; exit 77; }
done

mode=$1 agent=$2 screenshot=${3:-}
if [ "$mode" = wine ]; then
  run=(wine "$agent") app_path='C:\Program Files\Tessaryndle\'
else
  run=("$agent") app_path=/nonexistent/tessaryndle
fi
export NO_AT_BRIDGE=1  # no accessibility bus in a test display

# Wine leaves the frame of a window to the window manager, and a test display
# has none: for these runs Wine draws the caption and border itself, so that
# the X window is the whole Win32 window, caption included.
decorated_by_wine() { # add|delete [OPTIONS...]
  wine reg "$1" 'HKCU\Software\Wine\X11 Driver' /v Decorated "${@:2}" /f </dev/null >/dev/null 2>&1
}

failures=0
check() { # WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok: $1 = $3"; else echo "FAILED: $1 = $3, expected $2"; failures=$((failures + 1)); fi
}
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
  wait 2>/dev/null
  if [ "$mode" = wine ]; then decorated_by_wine delete; fi
}
trap cleanup EXIT
if [ "$mode" = wine ]; then decorated_by_wine add /t REG_SZ /d N; fi

start() { # NAME DELAY
  "${run[@]}" --show-progress-after "$2" --app-name "$1" --app-path "$app_path" </dev/null >/dev/null 2>&1 &
  pids+=($!)
  LAST_PID=$!
}
geometry() { # WINDOW: prints "x y width height"
  xwininfo -id "$1" | awk -F: '/Absolute upper-left X/{x=$2} /Absolute upper-left Y/{y=$2}
    /Width/{w=$2} /Height/{h=$2} END{print x+0, y+0, w+0, h+0}'
}

started=$(date +%s%N)
start Tessaryndle 0
shown_pid=$LAST_PID
window=$(timeout 30 xdotool search --sync --name '^Updating Tessaryndle$' 2>/dev/null | head -n 1)
check "window shown" yes "${window:+yes}"
[ -n "$window" ] || exit 1
echo "shown after $((($(date +%s%N) - started) / 1000000)) ms"
read -r x y width height < <(geometry "$window")
check "position" "750,465" "$x,$y"
check "size" "420x150" "${width}x${height}"

if [ -n "$screenshot" ]; then
  sleep 1  # let the marquee move and the controls paint
  # With a margin of the (black) screen around the window.
  xwd -root -silent | convert xwd:- -crop "$((width + 20))x$((height + 20))+$((x - 10))+$((y - 10))" +repage \
    "$screenshot"
  check "screenshot" "$((width + 20))x$((height + 20))" "$(identify -format '%wx%h' "$screenshot" 2>/dev/null)"
fi

if [ "$mode" = native ]; then
  xdotool windowclose "$window"
  sleep 0.5
  gone=yes
  xwininfo -id "$window" >/dev/null 2>&1 && gone=no
  check "window destroyed" yes "$gone"
  alive=no
  kill -0 "$shown_pid" 2>/dev/null && alive=yes
  check "helper alive after its window was destroyed" yes "$alive"
fi

start Sleeper 600000
sleeper_pid=$LAST_PID
sleep 2
sleeper_window=$(xdotool search --name '^Updating Sleeper$' 2>/dev/null | head -n 1)
check "window of a helper still asleep" "" "$sleeper_window"
alive=no
kill -0 "$sleeper_pid" 2>/dev/null && alive=yes
check "helper asleep" yes "$alive"

[ "$failures" -eq 0 ]
