#!/usr/bin/env bash
# tools/screenshots.sh [kind]: renders every dialog of both programs and the three message-box
# kinds at 100 % and 200 % into build/<kind>/screenshots/ (Qt's offscreen platform), and the
# update tool's real main window at each stop of its road against the device simulator
# (loader-*.png). Then, on an Xvfb screen with an X11 tray (trayer), the real update manager,
# started in the tray as at logon, finds a newer version on the update server double for the
# simulated device: its balloon (tray.png), the new-version dialog a click on the balloon opens
# (ZR40_UpManager-newversion.png), the icon's menu (tray-menu.png) and its window restored from
# the tray (ZR40_UpManager-run.png). Next, on a second screen with a session bus and a
# notification service (notification-daemon) but no tray, the same balloon goes out as a desktop
# notification (notice.png), a click on it opens the new-version dialog, and when trayer starts
# after the manager its icon docks and takes the window; the next balloon shows on the docked
# icon (tray-docked.png). Last, on a third screen, with the tree installed into a scratch prefix,
# the launcher rofi lists the menu entry with its icon, in English (menu-entry.png) and Japanese
# (menu-entry-ja.png).
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-release}
# With what `cmake --install` takes from the tree (the menu entry's shots).
tools/build.sh "$kind" zr40-ui-shots zr40-loader-shots ZR40_UpManager zr40-devsim zr40-serverd \
  ZR40_SWUpdate ZR40_UpMng_ui zr40-loader zr40-reg zr_manpages
bin=$PWD/build/$kind
out=$bin/screenshots
mkdir -p "$out"

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

QT_QPA_PLATFORM=offscreen "$bin/tests/ui/qt/zr40-ui-shots" --out "$out"
# The tool's road takes its time (the write, the device's restart); the X screen meanwhile.
QT_QPA_PLATFORM=offscreen "$bin/tests/ui/qt/zr40-loader-shots" --out "$out" \
  >"$work/loader.out" 2>"$work/loader.log" &
loader=$!
pids+=("$loader")

# until <seconds> <what> <command...>: waits for the command to succeed.
until_ok() {
  local tries=$(($1 * 10)) what=$2
  shift 2
  for ((n = 0; n < tries; n++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "screenshots: $what did not happen" >&2
  return 1
}
fail() {
  for log in "$work"/*.log; do
    echo "--- $log" >&2
    cat "$log" >&2
  done
  exit 1
}

# Xvfb picks a free display and writes its number to the descriptor it is given.
Xvfb -displayfd 3 -screen 0 1024x600x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
until_ok 10 "Xvfb's start" test -s "$work/display" || fail
export DISPLAY=:$(head -n1 "$work/display")

trayer --edge bottom --align right --widthtype request --height 32 --SetDockType true \
  --transparent false --tint 0xdddddd 2>"$work/trayer.log" &
pids+=($!)

# The simulated device and the update server double; the manager sees the device through the
# simulator's catalogue and takes the server's version (110805) for newer than the device's.
mkdir -p "$work/dev" "$work/root/proc/net"
"$bin/sim/devsim/zr40-devsim" --dir "$work/dev" --reenum-ms 20 >"$work/dev.out" 2>"$work/dev.log" &
pids+=($!)
"$bin/sim/server/zr40-serverd" --log "$work/server.log" >"$work/server.out" 2>"$work/serverd.log" &
pids+=($!)
until_ok 10 "the simulator's start" grep -qx ready "$work/dev.out" || fail
until_ok 10 "the server's start" grep -q '^listening ' "$work/server.out" || fail
port=$(sed -n 's/^listening 127\.0\.0\.1://p' "$work/server.out")
# The manager reads the routes below its root: a default route over an interface that is up.
iface=
for dev in /sys/class/net/*; do
  name=${dev##*/}
  [ "$name" != lo ] && (($(cat "$dev/flags") & 1)) && { iface=$name; break; }
done
[ -n "$iface" ] || { echo "screenshots: no network interface is up" >&2; exit 1; }
printf 'Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\n%s\t00000000\t0100007F\t0003\t0\t0\t0\t00000000\n' \
  "$iface" >"$work/root/proc/net/route"

ZR40_ROOT=$work/root ZR40_UI=qt QT_QPA_PLATFORM=xcb ZR40_UPDATE_SERVER=http://127.0.0.1:$port \
  ZR40_DEVICE_CATALOG=$work/dev/catalog.txt \
  "$bin/ZR40UpReg/ZR40_UpManager" /minimize 2>"$work/manager.log" &
pids+=($!)

# The manager's windows by their type: the balloon is a tool tip, the docked icon is kept from
# the window manager (override), and the menu is neither.
manager_window() { # <type pattern> [<type pattern it must not match>]
  local w type
  for w in $(xdotool search --onlyvisible --classname '^zr40$' 2>/dev/null); do
    type=$(xprop -id "$w" _NET_WM_WINDOW_TYPE)
    if [[ $type =~ $1 ]] && ! [[ -n ${2:-} && $type =~ $2 ]]; then
      echo "$w"
      return 0
    fi
  done
  return 1
}
click() { # <window> <button>: in the middle of the window
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$1")"
  xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click "$2"
}
grab() {
  sleep 0.3 # the first paint
  import -window root "$out/$1"
  echo "$out/$1"
}
title="ZR-40更新管理ツール"

until_ok 30 "the new-version balloon" manager_window TOOLTIP || fail
balloon=$(manager_window TOOLTIP)
icon=$(manager_window OVERRIDE TOOLTIP)
grab tray.png
click "$balloon" 1
until_ok 10 "the new-version dialog" xdotool search --onlyvisible --name "^$title\$" || fail
grab ZR40_UpManager-newversion.png
xdotool windowfocus "$(xdotool search --onlyvisible --name "^$title\$" | head -n1)"
xdotool key Escape
until_ok 10 "the new-version dialog's end" \
  bash -c "! xdotool search --onlyvisible --name '^$title\$'" || fail
click "$icon" 3
until_ok 10 "the icon's menu" manager_window NORMAL OVERRIDE || fail
grab tray-menu.png
xdotool key Escape
click "$icon" 1
until_ok 10 "the manager's window" xdotool search --onlyvisible --name "^$title\$" || fail
grab ZR40_UpManager-run.png

# A desktop without a tray: its own screen, wide enough that the notification (top right) and
# the minimised window (with no window manager, still drawn in the middle) do not overlap.
Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp 3>"$work/display2" 2>"$work/xvfb2.log" &
pids+=($!)
until_ok 10 "the second Xvfb's start" test -s "$work/display2" || fail
export DISPLAY=:$(head -n1 "$work/display2")
dbus-daemon --session --nofork --print-address=3 3>"$work/bus" 2>"$work/bus.log" &
pids+=($!)
until_ok 10 "the session bus's start" test -s "$work/bus" || fail
export DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/bus")
/usr/lib/notification-daemon/notification-daemon 2>"$work/notices.log" &
pids+=($!)
notices_up() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Notifications | grep -q 'boolean true'
}
until_ok 10 "the notification service's start" notices_up || fail
mkdir -p "$work/dev2" "$work/root2/proc/net"
cp "$work/root/proc/net/route" "$work/root2/proc/net/route"
sim2=("$bin/sim/devsim/zr40-devsim" --dir "$work/dev2" --reenum-ms 20)
"${sim2[@]}" >"$work/dev2.out" 2>"$work/dev2.log" &
dev2=$!
pids+=("$dev2")
until_ok 10 "the second simulator's start" grep -qx ready "$work/dev2.out" || fail
ZR40_ROOT=$work/root2 ZR40_UI=qt QT_QPA_PLATFORM=xcb ZR40_UPDATE_SERVER=http://127.0.0.1:$port \
  ZR40_DEVICE_CATALOG=$work/dev2/catalog.txt \
  "$bin/ZR40UpReg/ZR40_UpManager" /minimize 2>"$work/manager2.log" &
pids+=($!)

# notification-daemon's bubble is its window "Notification".
until_ok 30 "the new-version notification" xdotool search --onlyvisible --name '^Notification$' ||
  fail
notice=$(xdotool search --onlyvisible --name '^Notification$')
grab notice.png
# The window shares its title with the new-version dialog the click opens.
window=$(xdotool search --onlyvisible --name "^$title\$")
dialog() { xdotool search --onlyvisible --name "^$title\$" | grep -vx "$window"; }
no_dialog() { ! dialog; }
no_notice() { ! xdotool search --onlyvisible --name '^Notification$'; }
click "$notice" 1
until_ok 10 "the new-version dialog from the notification" dialog || fail
until_ok 10 "the notification's end" no_notice || fail
xdotool windowfocus "$(dialog)"
xdotool key Escape
until_ok 10 "the new-version dialog's end" no_dialog || fail

# A panel that starts after the manager: the icon docks and the window goes to it.
trayer --edge bottom --align right --widthtype request --height 32 --SetDockType true \
  --transparent false --tint 0xdddddd 2>"$work/trayer2.log" &
pids+=($!)
docked() {
  ! xdotool search --onlyvisible --name "^$title\$" && xdotool search --onlyvisible --classname '^zr40$'
}
until_ok 10 "the icon's docking" docked || fail
# The device plugged in again finds the newer version again: the balloon is the tray's now.
kill "$dev2"
wait "$dev2" 2>/dev/null || true
"${sim2[@]}" >"$work/dev3.out" 2>"$work/dev3.log" &
pids+=($!)
until_ok 30 "the balloon on the docked icon" manager_window TOOLTIP || fail
grab tray-docked.png

# The menu entry as a launcher lists it: the installed entry and its icon in the hicolor theme,
# found through the data folders, by rofi in a home of its own (it keeps a history, a cache and
# a lock file there, and a rofi already running would hold the machine's lock). Noto Sans CJK JP,
# as the programs draw Japanese; GLib takes Name[ja] from LANGUAGE, so no ja_JP locale is needed.
cmake --install "$bin" --prefix "$work/prefix" >"$work/install.out" 2>"$work/install.log" || fail
# -noreset: the server does not reset under the second rofi when the first, its only client, ends.
Xvfb -displayfd 3 -screen 0 1024x600x24 -nolisten tcp -noreset 3>"$work/display3" \
  2>"$work/xvfb3.log" &
pids+=($!)
until_ok 10 "the third Xvfb's start" test -s "$work/display3" || fail
display=$(head -n1 "$work/display3")
export DISPLAY=:$display
home=$work/home
mkdir -m 700 "$home" "$home"/{cache,config,data,run}
rofi_window() { xdotool search --onlyvisible --classname '^rofi$'; }
no_rofi_window() { ! rofi_window; }
menu() { # <png> <variable=value...>
  local png=$1 rofi
  shift
  env HOME="$home" XDG_CACHE_HOME="$home/cache" XDG_CONFIG_HOME="$home/config" \
    XDG_DATA_HOME="$home/data" XDG_RUNTIME_DIR="$home/run" \
    XDG_DATA_DIRS="$work/prefix/share:/usr/share" "$@" \
    rofi -no-config -show drun -show-icons -filter ZR-40 -font 'Noto Sans CJK JP 13' \
    -theme-str 'window { width: 640px; } listview { lines: 4; } element-icon { size: 48px; }' \
    2>"$work/${png%.png}.log" &
  rofi=$!
  pids+=("$rofi")
  until_ok 10 "the menu ($png)" rofi_window || fail
  grab "$png"
  xdotool key Escape
  until_ok 10 "the menu's end ($png)" no_rofi_window || fail
  wait "$rofi" 2>/dev/null || true # a cancel ends rofi with 1
}
menu menu-entry.png LANG=C.UTF-8
menu menu-entry-ja.png LANG=C.UTF-8 LANGUAGE=ja

if ! wait "$loader"; then
  cat "$work/loader.log" >&2
  exit 1
fi
cat "$work/loader.out"
echo "screenshots: $out"
