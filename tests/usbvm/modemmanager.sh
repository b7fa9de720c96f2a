#!/usr/bin/env bash
# The slow scenario, run by hand: tools/usbvm.sh tests/usbvm/modemmanager.sh. ModemManager in the
# guest on its own system bus. Without the package's udev rules it probes the update port (the
# simulator's frame log shows bytes nobody of ours sent); with them the update port hears only
# the update tool's engine through the whole shipped write, with ModemManager held off the device
# by the tool's InhibitDevice, and ModemManager takes the modem back afterwards.
# ZR_USBVM_MM_WAIT_MS (default 300000) bounds each wait for ModemManager, which takes about a
# minute under emulation.
set -euo pipefail
build=${ZR_USBVM_BUILD:-build/release}
results=${ZR_USBVM_RESULTS:?run inside tools/usbvm.sh}
wait_s=$((${ZR_USBVM_MM_WAIT_MS:-300000} / 1000))

# shellcheck source=tests/usbvm/lib.sh
. "$(dirname "$0")/lib.sh"
event() { grep -qx "$1" "$2"; }
foreign_bytes() { grep -q '^rx GARBAGE' "$1"; }
has_modem() { mmcli -L 2>/dev/null | grep -q '/Modem/'; }

echo 1d7a 3c52 ff >/sys/bus/usb-serial/drivers/generic/new_id
mkdir -p /run/dbus /run/udev/rules.d
dbus-daemon --system --fork
SYSTEMD_IGNORE_CHROOT=1 /lib/systemd/systemd-udevd --daemon 2>"$results/udevd.log"
sim=
mm=
cleanup() {
  [ -z "$sim" ] || kill "$sim" 2>/dev/null || true
  [ -z "$mm" ] || kill "$mm" 2>/dev/null || true
  SYSTEMD_IGNORE_CHROOT=1 udevadm control --exit 2>/dev/null || true
}
trap cleanup EXIT

# Plugs the device in: $1 names the run's folder.
plug() {
  mkdir -p "$1"
  "$build/sim/devsim/zr40-devsim" --dir "$1" --gadget --reenum-ms 500 \
    --frame-log "$1/frames.log" >"$1/events" &
  sim=$!
  until_true "$wait_s" 0.5 event ready "$1/events"
}
unplug() {
  kill "$sim"
  wait "$sim" || true
  sim=
}
start_mm() {
  /usr/sbin/ModemManager --debug --log-level=DEBUG --log-file="$results/mm-$1.log" 2>&1 &
  mm=$!
}
stop_mm() {
  kill "$mm"
  wait "$mm" || true
  mm=
}

start=$(date +%s)
echo "== without the rules"
start_mm bare
plug /tmp/zr40-mm-bare
until_true "$wait_s" 0.5 foreign_bytes /tmp/zr40-mm-bare/frames.log
echo "ModemManager probed the update port after $(($(date +%s) - start)) s:"
head -5 /tmp/zr40-mm-bare/frames.log
cp /tmp/zr40-mm-bare/frames.log "$results/frames-bare.log"
unplug
stop_mm

echo "== with the rules and the tool's InhibitDevice"
cp dist/70-zr40.rules /run/udev/rules.d/
SYSTEMD_IGNORE_CHROOT=1 udevadm control --reload
start=$(date +%s)
start_mm rules
ZR_USBVM_MM=1 ZR_USBVM_WAIT_MS=$((wait_s * 1000)) "$build/tests/usbvm/usbvm_tests" \
  --gtest_filter='UsbGuest.InhibitedModemManagerLeavesTheWholeWriteToTheTool' \
  >"$results/inhibited-write.log" 2>&1 || { cat "$results/inhibited-write.log"; fail "the inhibited write"; }
grep -q '\[  PASSED  \] 1 test' "$results/inhibited-write.log" || fail "skipped (inhibited-write.log)"
echo "the update port heard the tool alone through the whole write; $(($(date +%s) - start)) s with ModemManager's start"
