#!/usr/bin/env bash
# The package's udev rules in the guest's own udevd, on the device the gadget plays: ModemManager
# is told to leave the update port alone, and the whole device while it is in its boot loader;
# the modem port is told neither. Run by scenarios.sh inside tools/usbvm.sh, which starts udevd.
set -euo pipefail
build=${ZR_USBVM_BUILD:-build/release}
wait_s=$((${ZR_USBVM_WAIT_MS:-120000} / 1000))
work=$(mktemp -d /tmp/zr40-udev-XXXXXX)

# shellcheck source=tests/usbvm/lib.sh
. "$(dirname "$0")/lib.sh"
prop() { udevadm info --query=property --name="$1" | sed -n "s/^$2=//p"; }
usb_prop() { udevadm info --query=property --path="$1" | sed -n "s/^$2=//p"; }
event() { grep -qx "$1" "$work/events"; }
# The tty under the device's interface N (cdc_acm: tty/ttyACM0, usb-serial: ttyUSB0/tty/ttyUSB0).
tty_of() {
  local itf=/sys/bus/usb/devices/1-1:1.$1
  ls "$itf/tty" 2>/dev/null || ls -d "$itf"/ttyUSB* 2>/dev/null | xargs -r -n1 basename || true
}
# The ttys of the given interfaces are all there.
ttys_at() {
  local n
  for n in "$@"; do
    [ -n "$(tty_of "$n")" ] || return 1
  done
}

[ -e /run/udev/rules.d/70-zr40.rules ] || fail "udevd runs without the package's rules (scenarios.sh)"
trap 'kill "$sim" 2>/dev/null || true' EXIT

"$build/sim/devsim/zr40-devsim" --dir "$work" --gadget --reenum-ms 500 >"$work/events" &
sim=$!
until_true "$wait_s" 0.1 event ready
until_true "$wait_s" 0.1 ttys_at 0 2
udevadm settle --timeout="$wait_s"
modem=$(tty_of 0)
update=$(tty_of 2)
echo "modem port $modem, update port $update"
udevadm info --query=property --name="$update"

[ "$(prop "$update" ID_MM_PORT_IGNORE)" = 1 ] || fail "$update lacks ID_MM_PORT_IGNORE"
[ -z "$(prop "$modem" ID_MM_PORT_IGNORE)" ] || fail "$modem has ID_MM_PORT_IGNORE"
[ -z "$(prop "$modem" ID_MM_DEVICE_IGNORE)" ] || fail "$modem has ID_MM_DEVICE_IGNORE"
[ -z "$(usb_prop /sys/bus/usb/devices/1-1 ID_MM_DEVICE_IGNORE)" ] || fail "device ignored in normal mode"

# Into the boot loader: the download-mode request on the update port.
stty -F "/dev/$update" raw -echo
printf '\377\125\000\102\000\001\001\376' >"/dev/$update"
until_true "$wait_s" 0.1 event "appeared update bootloader"
until_true "$wait_s" 0.1 ttys_at 0
udevadm settle --timeout="$wait_s"
boot=$(tty_of 0)
echo "boot loader's update port $boot"
udevadm info --query=property --path=/sys/bus/usb/devices/1-1

[ "$(usb_prop /sys/bus/usb/devices/1-1 ID_MM_DEVICE_IGNORE)" = 1 ] || fail "boot loader not ignored"
[ "$(prop "$boot" ID_MM_DEVICE_IGNORE)" = 1 ] || fail "$boot lacks ID_MM_DEVICE_IGNORE"
[ "$(prop "$boot" ID_MM_PORT_IGNORE)" = 1 ] || fail "$boot lacks ID_MM_PORT_IGNORE"
echo "rules hold in both modes"
