#!/usr/bin/env bash
# tools/screenshots.sh [kind]: renders every dialog of both programs and the three message-box
# kinds at 100 % and 200 % into build/<kind>/screenshots/ (Qt's offscreen platform), then shows
# the update manager's tray icon with its balloon on an Xvfb screen with an X11 tray (trayer) and
# grabs the whole screen into build/<kind>/screenshots/tray.png.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-release}
tools/build.sh "$kind" zr40-ui-shots
shots=$PWD/build/$kind/tests/ui/qt/zr40-ui-shots
out=$PWD/build/$kind/screenshots
mkdir -p "$out"

QT_QPA_PLATFORM=offscreen "$shots" --out "$out"

work=$(mktemp -d)
pids=()
cleanup() {
  # Clients before the server they draw on.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number to the descriptor it is given.
Xvfb -displayfd 3 -screen 0 640x400x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
[ -s "$work/display" ] || { echo "screenshots: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=:$(head -n1 "$work/display")

trayer --edge bottom --align right --widthtype request --height 32 --SetDockType true \
  --transparent false --tint 0xdddddd 2>"$work/trayer.log" &
pids+=($!)

# The program says "ready" once the icon is docked and the balloon is up, and again once the
# icon's menu is open after "menu" on its input.
coproc TRAY { QT_QPA_PLATFORM=xcb "$shots" --tray; }
pids+=("$TRAY_PID")
line=
read -r -t 30 line <&"${TRAY[0]}" || true
if [ "$line" != ready ]; then
  echo "screenshots: the tray icon did not appear (got '$line')" >&2
  exit 1
fi
import -window root "$out/tray.png"
echo "$out/tray.png"
echo menu >&"${TRAY[1]}"
line=
read -r -t 30 line <&"${TRAY[0]}" || true
if [ "$line" != ready ]; then
  echo "screenshots: the tray menu did not open (got '$line')" >&2
  exit 1
fi
import -window root "$out/tray-menu.png"
echo "$out/tray-menu.png"
echo "screenshots: $out"
