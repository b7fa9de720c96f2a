#!/usr/bin/env bash
# The project's main job: installs what is missing, builds the release flavour and runs the
# update tool's service command on the embedded data.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
tools/build.sh release
exec build/release/Loader/app/zr40-loader --show "$@"
