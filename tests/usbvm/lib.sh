# Shared by the guest scenario scripts: bounded polling and failing with a reason.

# until_true SECONDS STEP COMMAND...: polls the command until it holds or SECONDS run out.
until_true() {
  local deadline=$(($(date +%s) + $1)) step=$2
  shift 2
  until "$@"; do
    if [ "$(date +%s)" -ge "$deadline" ]; then
      echo "gave up waiting for: $*" >&2
      return 1
    fi
    sleep "$step"
  done
}
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
