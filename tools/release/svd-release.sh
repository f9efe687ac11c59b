#!/usr/bin/env bash
# Runs svd-release from the build folder (SVD_BUILD_DIR, default build/), building it
# first (tools/setup.sh and the default preset when build/ does not exist yet).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${SVD_BUILD_DIR:-$root/build}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if [[ ! -f $build/build.ninja && $build == "$root/build" ]]; then
  echo "release: first use: setting up and configuring $build" >&2
  "$root/tools/setup.sh" >&2
fi
if [[ $build == "$root/build" ]]; then
  "$root/tools/build.sh" --target svd-release >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
else
  cmake --build "$build" --target svd-release >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
fi
"$build/tools/release/svd-release" "$@"
