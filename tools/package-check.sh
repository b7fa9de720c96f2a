#!/usr/bin/env bash
# tools/package-check.sh [DEB]: installs the built package (default: the one tools/package.sh
# left in build/package/) with apt-get, runs the installed programs as the menu entry would
# start them, the update tool through the real pkexec along the whole road against the
# simulator and the server double (the release build's road test), reads a manual page with
# man, stands in for what the update tool writes outside homes, purges the package and checks
# that nothing of it is left. Dependencies the install pulled in are removed again, so the
# machine ends as it was. Runs as root (restarts itself with sudo); refuses to run when the
# package or the tool's files are already there.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  exec sudo "$0" "$@"
fi
deb=$(realpath "${1:-$(ls build/package/zr40_*.deb | head -n 1)}")
road_tests=$PWD/build/release/tests/e2e/e2e_road_tests
if [ ! -x "$road_tests" ]; then
  echo "package-check: no $road_tests; build it first (tools/build.sh release e2e_road_tests)" >&2
  exit 2
fi
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8

tool_dir=/usr/lib/zr40
manager_dir="/opt/Norvale/mirato ZR40"
autostart=/etc/xdg/autostart/ZR40_UpManager.desktop
machine_store=/var/lib/zr40
other_product="$manager_dir/ZR40_ConnectionSoft.version"

failed=0 passed=0
ok() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { failed=$((failed + 1)); echo "FAILED: $*"; }

if dpkg-query -W -f='${Status}' zr40 2>/dev/null | grep -q installed; then
  echo "package-check: zr40 is installed already; purge it first" >&2
  exit 2
fi
for path in "$tool_dir" /opt/Norvale "$autostart" "$machine_store"; do
  if [ -e "$path" ]; then
    echo "package-check: $path exists already; it would not be told from the package's" >&2
    exit 2
  fi
done

before=$(mktemp)
trap 'rm -f "$before"' EXIT
dpkg-query -W -f='${Status} ${Package}\n' | awk '$3 == "installed" {print $4}' | sort >"$before"
# What the install pulls in besides the package: only these go again, so that a package someone
# else installs meanwhile on the same machine stays.
pulled=$(apt-get install -s -q "$deb" | awk '/^Inst / && $2 != "zr40" {print $2}' | sort)
files=$(dpkg-deb -c "$deb" | awk '{print substr($0, index($0, "./") + 1)}' | grep -v '/$')

# However the checks end, the package and what it pulled in go again.
cleanup() {
  apt-get purge -y -q zr40 >/dev/null 2>&1 || true
  rm -f "$other_product"
  find /var/cache/man \( -name 'ZR40_*' -o -name 'zr40-*' \) -delete 2>/dev/null || true
  rmdir "$manager_dir" /opt/Norvale 2>/dev/null || true
  local added
  added=$(comm -12 <(printf '%s\n' "$pulled") <(comm -13 "$before" <(dpkg-query -W \
    -f='${Status} ${Package}\n' | awk '$3 == "installed" {print $4}' | sort)))
  if [ -n "$added" ]; then
    # shellcheck disable=SC2086
    apt-get purge -y -q $added >/dev/null
  fi
  rm -f "$before"
}
trap cleanup EXIT

echo "== installing $deb"
apt-get install -y -q "$deb" >/dev/null

# As the menu entry starts it: pkexec leaves only a few variables.
run_clean() { env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }
for program in "$tool_dir/ZR40_SWUpdate" "$tool_dir/ZR40_UpMng/ZR40_UpManager" zr40-loader zr40-reg; do
  if version=$(run_clean "$program" --version | head -n 1) && [[ "$version" == *" "[0-9]* ]]; then
    ok "$version"
  else
    fail "$program --version"
  fi
done
# At a width other than 80 man-db keeps no formatted copy in /var/cache/man, which would outlive
# the package (and, with the page's date fixed by the changelog, stand in for a newer one).
page=$(MANWIDTH=100 man ZR40_SWUpdate 2>&1) || true
if grep -q "pkexec $tool_dir/ZR40_SWUpdate" <<<"$page"; then
  ok "man ZR40_SWUpdate"
else
  fail "man ZR40_SWUpdate: $(head -n 20 <<<"$page")"
fi
for page in ZR40_UpManager zr40-loader zr40-reg; do
  if man -w "$page" >/dev/null 2>&1; then ok "man -w $page"; else fail "man -w $page"; fi
done
# The tool installs the manager only from a folder that root owns and nobody else can write.
if [ -z "$(find "$tool_dir" \( ! -user root -o -perm /022 \) -print)" ]; then
  ok "$tool_dir is root's, 0755"
else
  fail "$tool_dir has files others own or can write"
fi
desktop=/usr/share/applications/org.norvale.zr40.swupdate.desktop
if grep -qx "Exec=pkexec $tool_dir/ZR40_SWUpdate" "$desktop" && desktop-file-validate "$desktop"; then
  ok "menu entry starts pkexec $tool_dir/ZR40_SWUpdate"
else
  fail "menu entry"
fi

# The road as a user starts it from the menu: pkexec and polkit with the installed action, the
# installed program, the manager installed from the installed folder. What the test sets for the
# simulator and the server double goes through a launcher pkexec runs, and everything the road
# writes stays below the test's own root.
echo "== the whole road with the installed tool"
road_log=$(mktemp)
if ZR_INSTALLED_TOOL=$tool_dir/ZR40_SWUpdate "$road_tests" \
     --gtest_filter='Ways/UnderPkexec.*/Installed' >"$road_log" 2>&1 &&
   grep -q '^\[  PASSED  \] 1 test\.' "$road_log"; then
  ok "the installed tool's whole road through pkexec ends on 118 with the report accepted"
else
  fail "the installed tool's road:"
  cat "$road_log"
fi
rm -f "$road_log"

# What the tool's road leaves outside homes: the manager copied into the maker's folder (which
# also holds the connection software here), its autostart entry for all users, the machine
# store with the manager's uninstall entry.
mkdir -p "$manager_dir"
cp "$tool_dir/ZR40_UpMng/ZR40_UpManager" "$tool_dir/ZR40_UpMng/ZR40_UpMng_ui" "$manager_dir/"
echo "FileVersion=1.0.0.0" >"$other_product"
printf '[Desktop Entry]\nType=Application\nName=ZR40_UpManager\nExec="%s/ZR40_UpManager" /minimize\n' \
  "$manager_dir" >"$autostart"
run_clean zr40-reg --machine write-string \
  'Software\Microsoft\Windows\CurrentVersion\Uninstall\mirato ZR40 UpReg' DisplayName ZR40_UpManager

echo "== purging"
apt-get purge -y -q zr40 >/dev/null
left=()
while IFS= read -r file; do
  [ -e "$file" ] && left+=("$file")
done <<<"$files"
for path in "$tool_dir" "$manager_dir/ZR40_UpManager" "$manager_dir/ZR40_UpMng_ui" "$autostart" \
            "$machine_store"; do
  [ -e "$path" ] && left+=("$path")
done
while IFS= read -r -d '' file; do
  left+=("$file")
done < <(find /var/cache/man \( -name 'ZR40_*' -o -name 'zr40-*' \) -print0 2>/dev/null)
if [ ${#left[@]} -eq 0 ]; then ok "nothing of the package is left"; else fail "left: ${left[*]}"; fi
if dpkg-query -W -f='${Status}' zr40 2>/dev/null | grep -q .; then
  fail "dpkg still knows zr40: $(dpkg-query -W -f='${Status}' zr40)"
else
  ok "dpkg forgot zr40"
fi
if [ -f "$other_product" ]; then
  ok "the connection software's file in $manager_dir stayed"
else
  fail "purging removed the connection software's file"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
