#!/usr/bin/env bash
# Installs the Debian packages the project needs. Idempotent: does nothing when all are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  qt6-base-dev qt6-svg-dev fonts-noto-cjk xvfb trayer imagemagick x11-utils xdotool
  notification-daemon
  # the menu entry's screenshots: a launcher, and the SVG loader and theme it finds the icon with
  rofi librsvg2-common hicolor-icon-theme
  libc-bin
  libsqlite3-dev libudev-dev libsystemd-dev dbus-daemon
  pkexec polkitd libglib2.0-bin libxml2-utils
  libcurl4-openssl-dev libproxy-dev libcpp-httplib-dev openssl
  help2man man-db
  # the Debian package (tools/package.sh) and its checks
  debhelper dpkg-dev fakeroot lintian desktop-file-utils appstream
  # the USB guest (tools/usbvm.sh): the emulator; its kernel and busybox are fetched, not installed
  qemu-system-x86
  # the package's udev rules, loaded into the guest's udevd (run from the shared root)
  udev
  # ModemManager in the guest (tools/usbvm.sh tests/usbvm/modemmanager.sh, by hand)
  modemmanager
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The embedded texts are code page 932; the C library must be able to convert them.
if ! grep -qx 'CP932//' <<<"$(iconv -l)"; then
  echo "setup: iconv lacks CP932" >&2
  exit 1
fi
