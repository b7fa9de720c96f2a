#!/usr/bin/env bash
# tools/usbvm.sh [--results DIR] [SCRIPT [ARG...]]: runs SCRIPT (bash; default
# tests/usbvm/scenarios.sh, the guest scenarios) as root in a QEMU guest whose kernel has a real
# USB stack: Debian's kernel with dummy_hcd, the gadget functions and the host drivers. The guest
# sees this machine's root and this work tree read-only (the built programs run unchanged) and a
# writable results folder, DIR (default: a new folder under build/usbvm/); the script gets it as
# ZR_USBVM_RESULTS and its own arguments. Prints the folder's logs on failure and exits with
# the script's status (125 when the guest ended without one).
#
# Nothing is installed on this machine: the kernel and busybox packages are fetched with
# apt-get download and unpacked with dpkg-deb -x into build/usbvm/, once, and the initramfs is
# built again only when tools/usbvm/init changes.
#
# Configuration (environment):
#   ZR_USBVM_TIMEOUT  seconds the whole guest may run (default 600)
#   ZR_USBVM_MEM      guest memory (default 1536M)
#   ZR_USBVM_CPUS     guest processors (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
vm=$top/build/usbvm
timeout_s=${ZR_USBVM_TIMEOUT:-600}
mem=${ZR_USBVM_MEM:-1536M}
cpus=${ZR_USBVM_CPUS:-2}

results=
if [ "${1:-}" = --results ]; then
  results=$2
  shift 2
fi
script=$(realpath "${1:-tests/usbvm/scenarios.sh}")
shift || true

# Modules the guest loads, in this order; their dependencies are found in the modules'
# own depends= fields and copied along.
modules=(virtio_pci 9pnet_virtio 9p dummy dummy_hcd libcomposite usb_f_acm usb_f_serial usb_f_ncm
  cdc_acm cdc_ncm usbserial)

fetch() {
  [ -f "$vm/pkgs/.done" ] && return 0
  rm -rf "$vm/pkgs" "$vm/kernel" "$vm/busybox"
  mkdir -p "$vm/pkgs"
  local kernel
  kernel=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p' | head -1)
  [ -n "$kernel" ] || { echo "usbvm: no kernel package behind linux-image-amd64" >&2; exit 1; }
  echo "usbvm: fetching $kernel and busybox-static" >&2
  (cd "$vm/pkgs" && apt-get download -q "$kernel" busybox-static 2>&1 | grep -v '^W: Download is performed unsandboxed' >&2 || true)
  dpkg-deb -x "$vm"/pkgs/linux-image-*.deb "$vm/kernel"
  dpkg-deb -x "$vm"/pkgs/busybox-static_*.deb "$vm/busybox"
  touch "$vm/pkgs/.done"
}

module_file() {
  find "$1" -name "$2.ko" -o -name "${2//-/_}.ko" -o -name "${2//_/-}.ko" | head -1
}

initramfs() {
  local out=$vm/initramfs.cpio.gz
  if [ -f "$out" ] && [ "$out" -nt tools/usbvm/init ] && [ "$out" -nt tools/usbvm.sh ]; then
    return 0
  fi
  local kver src root
  kver=$(ls "$vm/kernel/lib/modules")
  src=$vm/kernel/lib/modules/$kver
  root=$vm/initramfs
  rm -rf "$root"
  mkdir -p "$root"/{bin,sbin,proc,sys,dev,host,lib/modules/"$kver"}
  cp "$vm/busybox/bin/busybox" "$root/bin/busybox"
  for applet in $("$root/bin/busybox" --list); do
    [ "$applet" = busybox ] || ln -sf busybox "$root/bin/$applet"
  done
  cp tools/usbvm/init "$root/init"
  local -a todo=("${modules[@]}")
  local -A seen=()
  while ((${#todo[@]})); do
    local m=${todo[0]} f deps
    todo=("${todo[@]:1}")
    [ -n "${seen[$m]:-}" ] && continue
    seen[$m]=1
    f=$(module_file "$src/kernel" "$m")
    [ -n "$f" ] || { echo "usbvm: module $m not in the kernel package" >&2; exit 1; }
    mkdir -p "$root/lib/modules/$kver/$(dirname "${f#"$src"/}")"
    cp "$f" "$root/lib/modules/$kver/${f#"$src"/}"
    deps=$(tr '\0' '\n' <"$f" | sed -n 's/^depends=//p' | tr , ' ')
    for d in $deps; do todo+=("$d"); done
  done
  cp "$src"/modules.builtin "$src"/modules.order "$root/lib/modules/$kver/"
  "$root/bin/busybox" depmod -b "$root" "$kver"
  (cd "$root" && find . | "$vm/busybox/bin/busybox" cpio -o -H newc 2>/dev/null | gzip -1) >"$out.tmp"
  mv "$out.tmp" "$out"
}

command -v qemu-system-x86_64 >/dev/null || { echo "usbvm: qemu-system-x86_64 missing (tools/setup.sh)" >&2; exit 1; }
fetch
initramfs

if [ -z "$results" ]; then
  mkdir -p "$vm/runs"
  results=$(mktemp -d "$vm/runs/run-XXXXXX")
fi
mkdir -p "$results"
results=$(realpath "$results")
# Both paths go to the guest on the kernel's command line.
if [[ "$top$results" =~ [[:space:]] ]]; then
  echo "usbvm: the work tree's and the results' paths must not contain spaces" >&2
  exit 2
fi
rm -f "$results/status" "$results/scenario.log" "$results/console.log"
{
  echo "export ZR_USBVM_RESULTS=$(printf %q "$results") PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root"
  echo "cd $(printf %q "$top")"
  printf 'exec bash'
  printf ' %q' "$script" "$@"
  echo
} >"$results/run"

modlist=$(IFS=,; echo "${modules[*]}")
start=$(date +%s%N)
set +e
timeout "$timeout_s" qemu-system-x86_64 -accel tcg -machine q35 -cpu max -smp "$cpus" -m "$mem" \
  -display none -monitor none -serial "file:$results/console.log" -no-reboot -nic none \
  -kernel "$(ls "$vm"/kernel/boot/vmlinuz-*)" -initrd "$vm/initramfs.cpio.gz" \
  -append "console=ttyS0 panic=-1 loglevel=4 zr.results=$results zr.top=$top zr.modules=$modlist" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$top,mount_tag=top,security_model=none,readonly=on,multidevs=remap" \
  -virtfs "local,path=$results,mount_tag=results,security_model=none"
qemu_status=$?
set -e
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
if [ "$qemu_status" = 124 ]; then
  echo "usbvm: the guest outran ZR_USBVM_TIMEOUT=$timeout_s s" >&2
fi
status=125
if [ -f "$results/status" ]; then
  status=$(cat "$results/status")
fi
cat "$results/scenario.log" 2>/dev/null || true
printf 'usbvm: guest ran %d.%d s\n' $((elapsed_ms / 1000)) $((elapsed_ms % 1000 / 100)) >&2
if [ "$status" != 0 ]; then
  echo "usbvm: status $status; logs in $results" >&2
  tail -n 30 "$results/console.log" >&2 || true
fi
exit "$status"
