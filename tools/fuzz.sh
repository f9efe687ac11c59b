#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given seconds.
#
#   tools/fuzz.sh SECONDS [TARGET...]           short runs (CI): start from the committed corpus
#   tools/fuzz.sh --keep SECONDS [TARGET...]    longer runs: afterwards merge what was found into
#                                               fuzz/corpus/<target> (minimised), to be committed
#
# Inputs: fuzz/corpus/<target> (what earlier runs found, minimised with -merge=1) and
# fuzz/seeds/<target> (hand-written starting points). New inputs of a run go to
# build-fuzz/corpus/<target> only, so a short run never changes the checkout.
# FUZZ_FLAGS adds libFuzzer options (e.g. FUZZ_FLAGS="-jobs=1 -workers=1").
set -euo pipefail
cd "$(dirname "$0")/.."
keep=0
if [[ ${1:-} == --keep ]]; then keep=1; shift; fi
secs=${1:-60}
shift || true
[[ -f build-fuzz/build.ninja ]] || cmake --preset fuzz >/dev/null
all=$(sed -n 's/^svd_add_fuzzer(\([a-z_0-9]*\).*/\1/p' fuzz/CMakeLists.txt)
targets=${*:-$all}
cmake --build build-fuzz --target $targets
root=$PWD
for t in $targets; do
  work=$root/build-fuzz/corpus/$t
  mkdir -p "$work" "fuzz/corpus/$t"
  inputs=("$root/fuzz/corpus/$t")
  [[ -d fuzz/seeds/$t ]] && inputs+=("$root/fuzz/seeds/$t")
  echo "fuzz: $t for ${secs}s"
  # Run inside its own folder: with -jobs, libFuzzer writes fuzz-N.log next to it.
  run=$root/build-fuzz/run/$t
  rm -rf "$run" && mkdir -p "$run"
  log=$run/main.log
  status=0
  # shellcheck disable=SC2086  # FUZZ_FLAGS holds several options
  (cd "$run" && "$root/build-fuzz/fuzz/$t" -max_total_time="$secs" -rss_limit_mb=4096 -print_final_stats=1 \
    ${FUZZ_FLAGS:-} "$work" "${inputs[@]}" >"$log" 2>&1) || status=$?
  grep -hE '^stat::(number_of_executed_units|new_units_added)' "$run"/*.log | tr '\n' ' ' || true
  echo
  if [[ $status != 0 ]]; then
    echo "fuzz: $t FAILED (exit $status), input kept in $run"
    grep -hE '^(==[0-9]+==|SUMMARY|Test unit written)' "$run"/*.log || tail -n 30 "$log"
    exit 1
  fi
  if [[ $keep == 1 ]]; then
    merged=$(mktemp -d)
    build-fuzz/fuzz/$t -merge=1 "$merged" "fuzz/corpus/$t" "$work" 2>&1 | grep -E 'MERGE-OUTER: [0-9]+ new files' || true
    rm -rf "fuzz/corpus/$t"
    mv "$merged" "fuzz/corpus/$t"
    chmod 755 "fuzz/corpus/$t"
    echo "fuzz: $t corpus $(ls "fuzz/corpus/$t" | wc -l) files"
  fi
done
