#!/usr/bin/env bash
# The project's main job: the whole update road with the built programs. Installs what is
# missing, builds the release flavour, then in a temporary ZR40_ROOT starts the simulated ZR-40
# and the update-server double (report answers 503, 503, 200), runs ZR40_SWUpdate with the console
# host and the user's answers fed to it, lets it hand over to ZR40_UpManager, and narrates every
# stop. Ends by checking the server's log: exactly one accepted report with the device's serial,
# the new version and the update's date; exits 1 when anything is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  # The update tool refuses to run without administrator rights, as it does for a user.
  exec sudo "$0" "$@"
fi
. tools/lib/sim.sh
tools/setup.sh
tools/build.sh release ZR40_SWUpdate zr_upmng_folder zr40-loader zr40-devsim zr40-serverd \
  zr40-reg >/dev/null
bin=$PWD/build/release
reg=$bin/platform/registry/zr40-reg
base='Software\Norvale\ZR40UpReg'
serial=358741050123456

work=$(mktemp -d /tmp/zr40-demo.XXXXXX)
root=$work/root
server_pid=
watch_pid=
manager_pid=
cleanup() {
  [ -n "$watch_pid" ] && kill "$watch_pid" 2>/dev/null
  [ -n "$manager_pid" ] && kill "$manager_pid" 2>/dev/null
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
  fi
  sim_stop
  rm -rf "$work"
}
trap cleanup EXIT
t0=$SECONDS
# A line of the narration; ends a progress line the tool left open.
say() { printf '\r\033[K\033[1m-- [%3ds] %s\033[0m\n' "$((SECONDS - t0))" "$*"; }

# The programs act for the person who started them, in the temporary root; the server double
# is reached directly.
unset PKEXEC_UID SUDO_UID XDG_CONFIG_HOME XDG_RUNTIME_DIR http_proxy HTTP_PROXY https_proxy \
  HTTPS_PROXY all_proxy ALL_PROXY
export ZR40_ROOT=$root no_proxy=127.0.0.1 NO_PROXY=127.0.0.1 ZR40_UI=console
# The manager the tool starts is a program of its own, out of the terminal: no window to show
# here, its record kept for a failure.
export ZR40_MANAGER_UI=scripted ZR40_MANAGER_OUTPUT=$work/manager.log
mkdir -p "$root/proc/net" "$work/tool"

# "Is there a connection" reads the routes below ZR40_ROOT and asks whether their interface is
# up: one default route through an interface that is up here.
iface=
for dir in /sys/class/net/*; do
  flags=$(cat "$dir/flags" 2>/dev/null || echo 0)
  if (((flags & 0x1) && !(flags & 0x8))); then
    iface=${dir##*/}
    break
  fi
done
if [ -z "$iface" ]; then
  echo "demo: no network interface is up; the tool would take its offline road" >&2
  exit 1
fi
printf 'Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\n%s\t00000000\t0100007F\t0003\t0\t0\t0\t00000000\n' \
  "$iface" >"$root/proc/net/route"

say "starting the simulated ZR-40 (firmware Ver1.00, serial $serial)"
sim_start "$bin" "$work/device" "$work/device.log" --serial "$serial" \
  --reenum-ms "${ZR_DEMO_REENUM_MS:-3000}"
export ZR40_DEVICE_CATALOG=$work/device/catalog.txt
"$bin/Loader/app/zr40-loader" --device-version | sed 's/^/   /'
say "device found: its update and modem ports are in the catalogue $ZR40_DEVICE_CATALOG"

"$bin/sim/server/zr40-serverd" --notify 503,503,200 --log "$work/server.log" >"$work/server.out" &
server_pid=$!
for _ in $(seq 100); do
  grep -q '^listening' "$work/server.out" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/^listening 127\.0\.0\.1://p' "$work/server.out")
[ -n "$port" ] || { echo "demo: the server double did not start" >&2; exit 1; }
export ZR40_UPDATE_SERVER=http://127.0.0.1:$port
say "update server double on $ZR40_UPDATE_SERVER: report answers 503, 503, then 200"

# The tool's folder as shipped: the program and ZR40_UpMng/ beside it; it runs from there.
ln -s "$bin/Loader/app/ZR40_SWUpdate" "$work/tool/ZR40_SWUpdate"
ln -s "$bin/Loader/app/ZR40_UpMng" "$work/tool/ZR40_UpMng"

# Narrates what the tool's window does not show: the device's events, the stops the tool
# records in the store, and every request the server answers.
value() { "$reg" read "$1" "$2" 2>/dev/null | sed -n 's/^[^"]*"\([^"]*\)".*/\1/p'; }
watch() {
  local dev_seen=0 srv_seen=0 status= list= line n
  while :; do
    n=$(wc -l <"$work/device.log")
    while ((dev_seen < n)); do
      dev_seen=$((dev_seen + 1))
      line=$(sed -n "${dev_seen}p" "$work/device.log")
      case $line in
        download-mode) say "device: switching into its boot loader" ;;
        "appeared update bootloader") say "device: boot loader ready, writing begins" ;;
        reset) say "device: written; it resets" ;;
        "appeared update normal") say "device: back with its new firmware" ;;
      esac
    done
    n=$(wc -l <"$work/server.log" 2>/dev/null || echo 0)
    while ((srv_seen < n)); do
      srv_seen=$((srv_seen + 1))
      line=$(sed -n "${srv_seen}p" "$work/server.log")
      say "manager → server: POST $(sed -n 's/.*"body":"\([^"]*\)".*/\1/p' <<<"$line")" \
        "← $(sed -n 's/.*"status":\([0-9]*\).*/\1/p' <<<"$line")"
    done
    line=$("$reg" list "$base\\UpdateList" 2>/dev/null | tr -d '\\' | tr '\n' ' ' || true)
    if [ "$line" != "$list" ]; then
      for n in $line; do
        say "tool: result checked, report stored for serial $n:" \
          "Version $(value "$base\\UpdateList\\$n" Version)," \
          "DateTime $(value "$base\\UpdateList\\$n" DateTime)"
      done
      [ -z "$line" ] && [ -n "$list" ] && say "manager: report deleted from the store after the 200"
      list=$line
    fi
    line=$("$reg" read "$base\\ZR40SwUp" Status 2>/dev/null | sed -n 's/.*(\([0-9]*\))$/\1/p' || true)
    if [ "$line" != "$status" ]; then
      case $line in
        1) say "tool: stop 1 recorded: written, waiting for the device (relaunch at logon arranged)" ;;
        2) say "tool: stop 2 recorded: new version confirmed, communication settings pending" ;;
        3) say "tool: stop 3 recorded: communication settings current, registration next" ;;
        4) say "tool: stop 4 recorded: manager installed and started, report handed over" ;;
        "") [ -n "$status" ] && say "tool: update state deleted: the road is finished" ;;
      esac
      status=$line
    fi
    sleep 0.3
  done
}
touch "$work/server.log"
watch &
watch_pid=$!

# The user's answers: the notice's "次へ", then "書込開始". The input stays open until the tool
# ends, as a terminal's would.
mkfifo "$work/answers"
say "starting ZR40_SWUpdate (console host) from $work/tool; answers: 次へ, 書込開始"
(cd "$work/tool" && exec ./ZR40_SWUpdate) <"$work/answers" > >(tee "$work/tool.out") 2>&1 &
tool_pid=$!
exec 3>"$work/answers"
printf '1\n1\n' >&3
tool_status=0
wait "$tool_pid" || tool_status=$?
exec 3>&-
sleep 0.6 # the narration's last pass
kill "$watch_pid" 2>/dev/null
wait "$watch_pid" 2>/dev/null || true
watch_pid=
say "ZR40_SWUpdate ended with status $tool_status"

# The manager stays in the tray for the session; the demo's session ends here.
for exe in /proc/[0-9]*/exe; do
  if [ "$exe" -ef "$root/opt/Norvale/mirato ZR40/ZR40_UpManager" ]; then
    manager_pid=${exe:6:-4}
  fi
done
if [ -n "$manager_pid" ]; then
  say "stopping ZR40_UpManager (pid $manager_pid), which would stay in the tray"
  kill "$manager_pid" 2>/dev/null || true
  manager_pid=
fi

echo
echo "== the server's log (requests to the notification path):"
sed -n 's/.*"time":"\([^"]*\)".*"path":"\([^"]*\)".*"body":"\([^"]*\)".*"status":\([0-9]*\).*/   \1  \2  \3  -> \4/p' \
  "$work/server.log"
today=$(date +%Y%m%d)
accepted=$(grep -c '"status":200' "$work/server.log" || true)
report=$(grep '"status":200' "$work/server.log" | grep -o '"body":"[^"]*"' || true)
missing=()
[ "$tool_status" -eq 0 ] || missing+=("the tool's exit status 0")
grep -q 'ソフトウェア更新が正常に完了しました。' "$work/tool.out" || missing+=("message 118")
[ "$accepted" -eq 1 ] || missing+=("exactly one accepted report (found $accepted)")
[[ $report =~ serial=$serial\&version=0000\.0001\.01\&date=($today|$(date -d yesterday +%Y%m%d))[0-9]{6}\" ]] ||
  missing+=("serial $serial, version 0000.0001.01 and today's date in the report")
if "$reg" read "$base\\ZR40SwUp" Status >/dev/null 2>&1; then
  missing+=("the tool's state deleted")
fi
if ((${#missing[@]})); then
  echo "== FAILED: missing ${missing[*]}"
  if [ -s "$work/manager.log" ]; then
    echo "== the manager's record (last lines):"
    tail -n 20 "$work/manager.log" | sed 's/^/   /'
  fi
  exit 1
fi
echo "== done in $((SECONDS - t0)) s: the server holds one accepted report: ${report:8:-1}"
