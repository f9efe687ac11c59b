#!/usr/bin/env bash
# Sets up, builds and starts Sorvanta Desktop.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
tools/build.sh
exec ./build/app/sorvanta-desktop "$@"
