#!/usr/bin/env bash
# Sets up, builds and runs every test (ctest under Xvfb), then a short bounded
# fuzzing run of each libFuzzer target.
#
#   tools/test.sh [CTEST ARGS]                     the normal build (build/)
#   tools/test.sh --sanitize address [CTEST ARGS]  ASan+UBSan (build-asan/), every test
#   tools/test.sh --sanitize thread [CTEST ARGS]   TSan (build-tsan/), every test
#   tools/test.sh --sanitize address --core        only the suites without the web engine,
#                                                  building only what they need (CI)
# Sanitizer runs scale the tests' time limits (SVD_TEST_TIME_SCALE, set by the
# preset) and read their suppressions from tools/sanitizers/.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
core=0
while [[ $# -gt 0 ]]; do
  case $1 in
    --sanitize) sanitize=${2:?--sanitize needs address or thread}; shift 2 ;;
    --core) core=1; shift ;;
    *) break ;;
  esac
done

tools/setup.sh
export QTWEBENGINE_DISABLE_SANDBOX=1
export SVD_LOOPBACK_ONLY=1
# -noreset: by default the X server resets when its last client leaves and refuses
# connections meanwhile, so a suite starting just as another one exits could not
# open the display.
# A suite that fails runs once more before the run fails: two in a row are a fault,
# one alone is the machine (a loaded CI box, LeakSanitizer's tracer crashing at
# exit); its first output stays in the log.
run_ctest() { xvfb-run -a -s "-screen 0 1280x800x24 -noreset" ctest --output-on-failure -j2 --repeat until-pass:2 "$@"; }

if [[ -z $sanitize ]]; then
  tools/check-layering.sh
  tools/check-sizes.sh
  tools/build.sh
  run_ctest --test-dir build "$@"
  tools/fuzz.sh 20
  exit 0
fi

case $sanitize in
  address) preset=asan ;;
  thread) preset=tsan ;;
  *) echo "test.sh: --sanitize takes address or thread, not '$sanitize'" >&2; exit 2 ;;
esac
dir=build-$preset
[[ -f $dir/build.ninja ]] || cmake --preset "$preset" >/dev/null
if [[ $core == 1 ]]; then
  # The suites that need no web engine; test_diag runs the program itself.
  suites=(test_sources test_torrent test_player test_disk test_update test_diag test_video test_ui test_desktop)
  cmake --build "$dir" --target "${suites[@]}" gen-episodes sorvanta-desktop
  regex="^($(IFS='|'; echo "${suites[*]}"))\$"
  run_ctest --test-dir "$dir" -R "$regex" "$@"
else
  cmake --build "$dir"
  run_ctest --test-dir "$dir" "$@"
fi
