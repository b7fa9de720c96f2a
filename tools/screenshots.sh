#!/usr/bin/env bash
# tools/screenshots.sh [kind]: renders every dialog of both programs and the three message-box
# kinds at 100 % and 200 % into build/<kind>/screenshots/ (Qt's offscreen platform), then shows
# the update manager's tray icon with its balloon on an Xvfb screen with an X11 tray (trayer) and
# grabs the whole screen into build/<kind>/screenshots/tray.png; then the real update manager's
# window as it opens (ZR40_UpManager-run.png).
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-release}
tools/build.sh "$kind" zr40-ui-shots ZR40_UpManager
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
Xvfb -displayfd 3 -screen 0 1024x600x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
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

# The real manager on the same screen, started as a user would open it (not /minimize): its
# window as the Qt host lays it out at run time, with the shots program's icon still docked.
mkdir -p "$work/root"
ZR40_ROOT=$work/root ZR40_UI=qt QT_QPA_PLATFORM=xcb ZR40_UPDATE_SERVER=http://127.0.0.1:9 \
  "$PWD/build/$kind/ZR40UpReg/ZR40_UpManager" 2>"$work/manager.log" &
pids+=($!)
found=
for _ in $(seq 100); do
  if xwininfo -name "ZR-40更新管理ツール" >/dev/null 2>&1; then found=1; break; fi
  sleep 0.1
done
[ -n "$found" ] || { echo "screenshots: the manager's window did not appear" >&2; cat "$work/manager.log" >&2; exit 1; }
sleep 0.5 # first paint
import -window root "$out/ZR40_UpManager-run.png"
echo "$out/ZR40_UpManager-run.png"
echo "screenshots: $out"
