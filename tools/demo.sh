#!/usr/bin/env bash
# The project's main job: installs what is missing, builds the release flavour, starts the
# simulated ZR-40 and runs the complete update of the embedded loader script against it, then
# shows the device coming back with its new firmware version.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib/sim.sh
tools/setup.sh
tools/build.sh release zr40-loader zr40-devsim >/dev/null
bin=$PWD/build/release

work=$(mktemp -d /tmp/zr40-demo.XXXXXX)
cleanup() {
  sim_stop
  rm -rf "$work"
}
trap cleanup EXIT

sim_start "$bin" "$work/device" "$work/device.log" --reenum-ms "${ZR_DEMO_REENUM_MS:-3000}"
export ZR40_DEVICE_CATALOG=$work/device/catalog.txt

echo "== simulated ZR-40 attached (catalogue $ZR40_DEVICE_CATALOG)"
"$bin/Loader/app/zr40-loader" --device-version
echo "== writing the firmware with the embedded loader script"
cd "$work"
if ! "$bin/Loader/app/zr40-loader" --wait-version 60 "$@"; then
  echo "== the update failed; error log:"
  cat "$work/ZR40Loader_err.log" 2>/dev/null || true
  exit 1
fi
echo "== device events:"
sed 's/^/   /' "$work/device.log"
