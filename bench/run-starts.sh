#!/usr/bin/env bash
# Start soak: many cold starts of the program's headless self-test per swarm lab scenario, each
# its own run with fresh data, config and cache folders (bench/starts_soak.py), plus a seek soak
# on slow-tcp and the dub switch on thin.
#   bench/run-starts.sh [--starts 20] [--seeks N] [--dubs N] [--reuse-swarm] [--no-build] [ROW...]
# Rows: ideal tcp-only utp-only dead-first two-pieces crowd choked choked-plus-fresh
#   upload-only-partial silent-first magnet-only mixed-40 dht-only seeks seeks-256k dub (default all).
#   dead-first  ideal with a source nobody seeds before the live one
#   two-pieces  the episode in 16 MiB pieces: two pieces in all
#   choked ... dht-only  the public-swarm scenarios of the lab (tools/swarmlab/scenarios.txt)
#   seeks       slow-tcp, one exact seek to 50 % per run (--seeks runs, default --starts)
#   seeks-256k  the same on slow-lt-256k: libtorrent at 900 KB/s, 256 KiB pieces
#   dub         thin, 480p episode with two dubs: the switch and the stalls after it (--dubs runs)
# Every start gets fresh seeders (a new lab); --reuse-swarm keeps one lab per row for all its
# starts (faster; the seeders then have served the earlier starts).
# Prints per row the runs, failures, p50/p95/max of first frame and seek, every failure with its
# kept log, and a backtrace (gdb) of every core dump the program left. Asserts nothing; exits 0
# unless the tooling broke. Builds in build (BUILD_DIR) under /tmp/svd-build.lock.
# Runs go to BUILD/bench-starts/DATE-TIME/ROW/NNN. Everything stays on 127.0.0.1.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$here/build}"
do_build=1
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --starts|--seeks|--dubs|--observe|--max-wall|--work) args+=("$1" "$2"); shift 2 ;;
    --reuse-swarm) args+=("$1"); shift ;;
    --no-build) do_build=0; shift ;;
    -h|--help) sed -n 2,18p "$0"; exit 0 ;;
    -*) echo "usage: $0 [--starts N] [--seeks N] [--dubs N] [--reuse-swarm] [--no-build] [ROW...]" >&2; exit 2 ;;
    *) args+=("$1"); shift ;;
  esac
done
for tool in aria2c mktorrent ffmpeg mpv strace gdb python3 flock; do
  command -v "$tool" >/dev/null || { echo "run-starts: $tool is missing (tools/setup.sh installs it)" >&2; exit 1; }
done

if [ "$do_build" = 1 ]; then
  [ -f "$build/build.ninja" ] || { echo "run-starts: no build in $build (tools/build.sh makes one)" >&2; exit 1; }
  flock /tmp/svd-build.lock cmake --build "$build" -j 2 --target sorvanta-desktop svd-swarmlab svd-seeder gen-episodes
fi
for bin in app/sorvanta-desktop tools/swarmlab/svd-swarmlab tools/gen-episodes; do
  [ -x "$build/$bin" ] || { echo "run-starts: $build/$bin is missing" >&2; exit 1; }
done
exec python3 "$here/bench/starts_soak.py" --build "$build" ${args[@]+"${args[@]}"}
