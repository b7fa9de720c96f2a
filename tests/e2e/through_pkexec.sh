#!/bin/sh
# Runs PROGRAM through the real pkexec as the account UID:GID, with polkit's actions and local
# rules taken from the given folders and the system bus at the socket BUS. Everything happens in
# a mount namespace of its own (root only): the machine's bus, polkit and rules are neither used
# nor changed, and nothing of it is seen outside.
#
#   through_pkexec.sh BUS ACTIONS RULES UID GID ACTION REPORT LOG PROGRAM
#
# ACTION's description from pkaction goes to REPORT, polkitd's output to LOG. The standard
# streams and the environment are handed to pkexec as they are; the exit status is pkexec's.
set -eu
if [ "${1:-}" != --in-namespace ]; then
  exec unshare --mount --propagation private -- sh "$0" --in-namespace "$@"
fi
shift
bus=$1 actions=$2 rules=$3 uid=$4 gid=$5 action=$6 report=$7 log=$8 program=$9

# pkexec is setuid and so talks to the bus at its standard place only.
mkdir -p /run/dbus
mount -t tmpfs -o mode=0755 zr40-pkexec /run/dbus
ln -s "$bus" /run/dbus/system_bus_socket
mount --bind "$actions" /usr/share/polkit-1/actions
mount --bind "$rules" /etc/polkit-1/rules.d

DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket \
  /usr/lib/polkit-1/polkitd --no-debug </dev/null >"$log" 2>&1 &
polkitd=$!
trap 'kill "$polkitd" 2>/dev/null; wait "$polkitd" 2>/dev/null || true' EXIT
gdbus wait --system --timeout 60 org.freedesktop.PolicyKit1
pkaction --action-id "$action" --verbose >"$report"

status=0
setpriv --reuid="$uid" --regid="$gid" --init-groups pkexec "$program" || status=$?
exit "$status"
