#!/usr/bin/env bash
# check_dist.sh --desktop FILE --metainfo FILE --programs PROGRAM... --manpages PAGE...
# The installed data files validate, every manual page renders without a warning, and the
# programs' --version agree.
set -uo pipefail
desktop= metainfo= programs=() manpages=() list=
for arg; do
  case "$arg" in
    --desktop|--metainfo|--programs|--manpages) list=${arg#--} ;;
    *) case "$list" in
         desktop) desktop=$arg ;;
         metainfo) metainfo=$arg ;;
         programs) programs+=("$arg") ;;
         manpages) manpages+=("$arg") ;;
       esac ;;
  esac
done

failed=0 passed=0
check() {  # check NAME COMMAND...: passes when the command succeeds and says nothing on stderr
  local name=$1 err
  shift
  if err=$("$@" 2>&1 >/dev/null) && [ -z "$err" ]; then
    passed=$((passed + 1))
  else
    echo "FAILED: $name${err:+: $err}"
    failed=$((failed + 1))
  fi
}

check "desktop entry" desktop-file-validate "$desktop"
check "metainfo" appstreamcli validate --no-net --pedantic "$metainfo"
[ ${#manpages[@]} -eq 4 ] || { echo "FAILED: ${#manpages[@]} manual pages, not 4"; failed=$((failed + 1)); }
for page in "${manpages[@]}"; do
  check "$(basename "$page")" env LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page"
done

# "<program> <version>" first: help2man takes the version from it.
versions=()
for program in "${programs[@]}"; do
  first=$("$program" --version | head -n 1)
  if [[ "$first" =~ ^$(basename "$program")\ ([0-9][0-9.]*)$ ]]; then
    versions+=("${BASH_REMATCH[1]}")
  else
    echo "FAILED: $program --version says '$first'"
    failed=$((failed + 1))
  fi
done
if [ "$(printf '%s\n' "${versions[@]}" | sort -u | wc -l)" -eq 1 ]; then
  passed=$((passed + 1))
else
  echo "FAILED: the programs' versions differ: ${versions[*]}"
  failed=$((failed + 1))
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
