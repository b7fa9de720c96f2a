#!/usr/bin/env bash
# The guest's scenarios, run by tools/usbvm.sh inside the guest (root, the host's root read-only,
# ZR_USBVM_RESULTS writable). One line per scenario, then "N passed, M failed"; each scenario's
# output goes to ZR_USBVM_RESULTS/<scenario>.log. Exit status 0 only when all passed. With
# names as arguments only those scenarios run (tools/usbvm.sh tests/usbvm/scenarios.sh NAME...).
set -euo pipefail
build=${ZR_USBVM_BUILD:-build/release}
results=${ZR_USBVM_RESULTS:?run inside tools/usbvm.sh}
for program in tests/usbvm/usbvm_tests tests/e2e/e2e_road_tests sim/devsim/zr40-devsim \
  Loader/app/zr40-loader Loader/app/ZR40_SWUpdate; do
  if [ ! -x "$build/$program" ]; then
    echo "no $build/$program: tools/build.sh release usbvm_tests e2e_road_tests" >&2
    exit 2
  fi
done

# The boot loader's update port is a vendor-specific serial interface: the usb-serial generic
# driver takes it once told the id (the kernel has no table entry for the device).
echo 1d7a 3c52 ff >/sys/bus/usb-serial/drivers/generic/new_id
# The server double listens on 127.0.0.1; the tool's connection test wants a route through an
# interface that is up (the road's test writes the route, the dummy module gives the interface).
ip link set lo up
ip link set dummy0 up

passed=0
failed=0
only=("$@")
scenario() {
  local name=$1
  shift
  if [ ${#only[@]} -gt 0 ] && [[ " ${only[*]} " != *" $name "* ]]; then
    return 0
  fi
  local start end status=0
  start=$(date +%s%N)
  "$@" >"$results/$name.log" 2>&1 || status=$?
  end=$(date +%s%N)
  local ms=$(((end - start) / 1000000))
  if [ "$status" = 0 ]; then
    passed=$((passed + 1))
    printf 'PASS %-34s %3d.%d s\n' "$name" $((ms / 1000)) $((ms % 1000 / 100))
  else
    failed=$((failed + 1))
    printf 'FAIL %-34s %3d.%d s (status %d, %s)\n' "$name" $((ms / 1000)) $((ms % 1000 / 100)) \
      "$status" "$results/$name.log"
  fi
}

gtest() {
  local out
  out=$("$build/tests/usbvm/usbvm_tests" --gtest_filter="$1" 2>&1) || { echo "$out"; return 1; }
  echo "$out"
  # A skipped case proves nothing here.
  ! grep -q '\[  SKIPPED \]' <<<"$out"
}

scenario discovery gtest 'UsbGuest.DiscoveryFindsEachFunctionWithItsTtyAndBoundDriver'
scenario line-settings gtest 'UsbGuest.LineSettingsSetThroughCdcAcmReadBackAsSet'
scenario bootloader-identification gtest 'UsbGuest.TheBootLoaderShowsTheUpdatePortAloneOnAVendorSerialInterface'
scenario at-interfaces-other-order gtest 'UsbGuest.TwoAtInterfacesInTheOtherOrderAreReadAsTheTableSays'
scenario shipped-write gtest 'UsbGuest.TheShippedWriteRunsAcrossTwoRealReEnumerations'
scenario unplug-fault gtest 'UsbGuest.AnUnplugFaultTakesTheDeviceOffTheBus'
scenario killed-simulator gtest 'UsbGuest.AGadgetLeftByAKilledSimulatorIsRemovedByTheNext'
# Last, with udevd and the package's rules (a chroot is no reason for it to stop here).
mkdir -p /run/udev/rules.d
cp dist/70-zr40.rules /run/udev/rules.d/
SYSTEMD_IGNORE_CHROOT=1 /lib/systemd/systemd-udevd --daemon 2>"$results/udevd.log"
trap 'SYSTEMD_IGNORE_CHROOT=1 udevadm control --exit 2>/dev/null || true' EXIT
scenario device-notifications gtest 'UsbGuest.DeviceNotificationsFollowRealUdevEvents'
road() {
  local out
  out=$(ZR_USBVM_GADGET=1 "$build/tests/e2e/e2e_road_tests" \
    --gtest_filter='WholeRoad.WriteRestartHandOverAndTheReportAcceptedAfterTwoRefusals' 2>&1) ||
    { echo "$out"; return 1; }
  echo "$out"
  grep -q '\[  PASSED  \] 1 test' <<<"$out"
}
scenario whole-road road
scenario udev-rules bash tests/usbvm/udev-rules.sh

dmesg >"$results/dmesg.log" 2>&1 || true
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
