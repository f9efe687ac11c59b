#!/usr/bin/env bash
# Runs test_shell's Weston part on a headless Weston of its own: a private runtime
# folder and socket, the pixman renderer (no GPU needed) or else the GL one, at the
# given output scale (1400 x 900 logical pixels). Exits 77 (skipped) only when no Weston could start.
#   weston-run.sh TEST_SHELL_BINARY [SCALE]
set -u
test_bin=$1
scale=${2:-1}
command -v weston >/dev/null || { echo "weston-run: weston is not installed (tools/setup.sh)"; exit 77; }
runtime=$(mktemp -d /tmp/svd-weston.XXXXXX)
chmod 700 "$runtime"
socket=svd-weston-$$
pid=""
cleanup() {
  [[ -n $pid ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$runtime"
}
trap cleanup EXIT

for renderer in --use-pixman --use-gl; do
  XDG_RUNTIME_DIR=$runtime weston --backend=headless-backend.so "$renderer" --width=1400 \
    --height=900 --scale="$scale" --socket="$socket" --idle-time=0 --debug --no-config \
    --log="$runtime/weston.log" &
  pid=$!
  # The socket appears once the back end and its renderer are up; a renderer that
  # cannot start ends the compositor instead.
  for _ in $(seq 100); do
    [[ -S $runtime/$socket ]] || ! kill -0 "$pid" 2>/dev/null && break
    sleep 0.1
  done
  sleep 0.3
  if [[ -S $runtime/$socket ]] && kill -0 "$pid" 2>/dev/null; then
    echo "weston-run: weston ${renderer#--use-} renderer, scale $scale"
    break
  fi
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  pid=""
done
if [[ -z $pid ]]; then
  echo "weston-run: weston could not start:"
  cat "$runtime/weston.log"
  exit 77
fi
# The test process itself stays on the X display (or off screen); only the program
# it starts goes to Weston.
[[ -n ${DISPLAY:-} ]] || export QT_QPA_PLATFORM=offscreen
XDG_RUNTIME_DIR=$runtime SVD_TEST_WESTON_SOCKET=$socket SVD_TEST_WESTON_SCALE=$scale "$test_bin"
