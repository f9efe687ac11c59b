#!/usr/bin/env bash
# Configures and builds the default preset (build/). Usage: tools/build.sh [extra cmake --build args]
set -euo pipefail
cd "$(dirname "$0")/.."
[[ -f build/build.ninja ]] || cmake --preset default >/dev/null
cmake --build build "$@"
