#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Idempotent: quiet and quick when everything is present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-webengine-dev qt6-webchannel-dev qt6-declarative-dev libqt6opengl6-dev libgl-dev
  qt6-httpserver-dev libmpv-dev libtorrent-rasterbar-dev libboost-system-dev libssl-dev
  xvfb xauth ffmpeg mpv mesa-utils libgl1-mesa-dri qml6-module-qtquick qml6-module-qtqml-workerscript
  clang libclang-rt-14-dev python3 desktop-file-utils appstream curl mktorrent
  aria2 strace dbus fonts-dejavu-core lintian apt-utils gnupg
  weston qt6-wayland
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "setup: run as root or install sudo (missing: ${missing[*]})" >&2; exit 1; }
  sudo="sudo"
fi
echo "setup: installing ${#missing[@]} packages: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup: done"
