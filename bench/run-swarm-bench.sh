#!/usr/bin/env bash
# Swarm benchmark: the program's headless self-test against peerflix + mpv on swarm lab
# scenarios (tools/swarmlab/scenarios.txt), each run on fresh seeders, with the floor of
# every figure. Scenarios with media=KIND seed a release file (MKV with fonts, MP4, WebM, AVI, a
# season pack, an MKV looped to 1 GiB; bench/release_media.py makes them with ffmpeg once, cached in
# the build folder).
# Prints one table per run and the goal checks; asserts nothing.
#   bench/run-swarm-bench.sh [--runs N] [--no-peerflix] [--no-watch] [--dead-first] [SCENARIO...]
# --dead-first puts a source nobody seeds before the live one in our first-frame runs.
# Builds into build-bench (override with BUILD_DIR). Everything stays on 127.0.0.1.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build-bench}"
peer=1
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) args+=(--runs "$2"); shift 2 ;;
    --no-peerflix) peer=0; shift ;;
    --no-watch) args+=(--no-watch); shift ;;
    --dead-first) args+=(--dead-first); shift ;;
    -h|--help) sed -n 2,10p "$0"; exit 0 ;;
    -*) echo "usage: $0 [--runs N] [--no-peerflix] [--no-watch] [--dead-first] [SCENARIO...]" >&2; exit 2 ;;
    *) args+=("$1"); shift ;;
  esac
done
for tool in mpv aria2c strace python3 ffmpeg mktorrent; do
  command -v "$tool" >/dev/null || { echo "run-swarm-bench: $tool is missing (tools/setup.sh installs it)" >&2; exit 1; }
done

[ -f "$build/build.ninja" ] || cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSVD_WERROR=ON >/dev/null
cmake --build "$build" -j 2 --target sorvanta-desktop svd-swarmlab svd-seeder gen-episodes

if [ "$peer" = 1 ]; then
  . "$here/bench/peerflix.sh"
  pf="$(peerflix_app "$build")"
  [ -n "$pf" ] && args+=(--peerflix "$pf")
fi
exec python3 "$here/bench/swarm_bench.py" --build "$build" "${args[@]}"
