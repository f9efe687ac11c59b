# Sourced by the benchmark scripts: peerflix_app BUILD_DIR prints the path of peerflix's
# app.js, installing peerflix from npm into BUILD_DIR/peerflix the first time; prints
# nothing (and says why on stderr) when it cannot be had.
peerflix_app() {
  local pf="$1/peerflix/node_modules/peerflix/app.js"
  if [ ! -f "$pf" ] && command -v npm >/dev/null; then
    mkdir -p "$1/peerflix"
    (cd "$1/peerflix" && timeout 600 npm install --ignore-scripts --no-audit --no-fund peerflix >/dev/null 2>&1) ||
      echo "peerflix could not be installed; skipping it" >&2
  fi
  if [ -f "$pf" ]; then echo "$pf"; fi
}
