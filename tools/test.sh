#!/usr/bin/env bash
# Sets up, builds and runs every test (ctest under Xvfb), then a short bounded
# fuzzing run of each libFuzzer target.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
tools/build.sh
export QTWEBENGINE_DISABLE_SANDBOX=1
export SVD_LOOPBACK_ONLY=1
xvfb-run -a -s "-screen 0 1280x800x24" ctest --test-dir build --output-on-failure -j2 "$@"
tools/fuzz.sh 20
