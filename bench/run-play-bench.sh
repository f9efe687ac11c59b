#!/usr/bin/env bash
# Playback benchmark: time to first frame and seek-to-50 % through the playback controller on a
# loopback swarm, against mpv from local disk and peerflix + mpv in the same run.
#   bench/run-play-bench.sh [--runs N] [--no-peerflix]
# Builds into build-bench (override with BUILD_DIR). Everything stays on 127.0.0.1.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build-bench}"
runs=3
peer=1
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --no-peerflix) peer=0; shift ;;
    *) echo "usage: $0 [--runs N] [--no-peerflix]" >&2; exit 2 ;;
  esac
done
command -v mpv >/dev/null || { echo "run-play-bench: mpv is missing (tools/setup.sh installs it)" >&2; exit 1; }

[ -f "$build/build.ninja" ] || cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSVD_WERROR=ON >/dev/null
cmake --build "$build" -j 2 --target bench_play gen-episodes

args=(--runs "$runs")
if [ "$peer" = 1 ]; then
  . "$here/bench/peerflix.sh"
  pf="$(peerflix_app "$build")"
  [ -n "$pf" ] && args+=(--peerflix "$pf")
fi
export SVD_LOOPBACK_ONLY=1 SVD_BINARY_DIR="$build"
exec "$build/bench/bench_play" "${args[@]}" 2>"$build/bench-play.stderr"
