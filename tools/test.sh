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
# A suite that fails fails the run: running it again would hide a fault that shows one time
# in two. The one exception is a failure whose output carries a signature known to come from
# the machine rather than from our code (LeakSanitizer's tracer crashing at exit under
# ptrace limits); such a suite runs once more, and the retry says why.
machine_signatures='Tracer caught signal|LeakSanitizer has encountered a fatal error'
run_ctest() {
  local dir=$1; shift
  local log; log=$(mktemp)
  local rc=0
  xvfb-run -a -s "-screen 0 1280x800x24 -noreset" ctest --test-dir "$dir" --output-on-failure -j2 "$@" 2>&1 | tee "$log" || rc=$?
  [[ $rc == 0 ]] && { rm -f "$log"; return 0; }
  # ctest prints each failed suite's output as one block after its result line.
  local retry
  retry=$(python3 - "$log" "$machine_signatures" <<'PY'
import re, sys
text = open(sys.argv[1], errors="replace").read().splitlines()
sig = re.compile(sys.argv[2])
head = re.compile(r"^\s*\d+/\d+ Test\s+#\d+: (\S+) \.+.*?(Passed|\*\*\*|Failed|Not Run|Exception|Timeout)")
blocks, name = {}, None
for line in text:
    m = head.match(line)
    if m:
        name = m.group(1) if m.group(2) != "Passed" else None
        if name:
            blocks[name] = []
    elif name:
        blocks[name].append(line)
bad = [n for n, b in blocks.items() if not any(sig.search(l) for l in b)]
print("" if bad or not blocks else " ".join(sorted(blocks)))
PY
)
  rm -f "$log"
  [[ -n $retry ]] || return 1
  echo "test.sh: ${retry// /, } failed with LeakSanitizer's tracer crashing at exit (the machine, not our code) -> running once more"
  xvfb-run -a -s "-screen 0 1280x800x24 -noreset" ctest --test-dir "$dir" --output-on-failure -j2 -R "^($(echo "$retry" | tr ' ' '|'))\$"
}

if [[ -z $sanitize ]]; then
  tools/check-layering.sh
  tools/check-sizes.sh
  tools/build.sh
  run_ctest build "$@"
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
  run_ctest "$dir" -R "$regex" "$@"
else
  cmake --build "$dir"
  run_ctest "$dir" "$@"
fi
