#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
[[ -f build-fuzz/build.ninja ]] || cmake --preset fuzz >/dev/null
targets=$(sed -n 's/^svd_add_fuzzer(\([a-z_0-9]*\).*/\1/p' fuzz/CMakeLists.txt)
cmake --build build-fuzz --target $targets
for t in $targets; do
  corpus=build-fuzz/corpus/$t
  mkdir -p "$corpus"
  seeds=fuzz/seeds/$t
  [[ -d $seeds ]] || seeds=""
  echo "fuzz: $t for ${secs}s"
  build-fuzz/fuzz/$t -max_total_time="$secs" -rss_limit_mb=4096 -print_final_stats=0 "$corpus" $seeds 2>&1 | tail -n 3
done
