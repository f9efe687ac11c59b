#!/usr/bin/env bash
# Builds the Debian package of a build folder, checks its Depends and layout,
# runs Debian's own checks on it (lintian: any error or warning fails; what is kept
# is listed in packaging/CMakeLists.txt), unpacks it into a scratch root and runs the
# program from there: --version always, --smoke when a display is available.
set -euo pipefail
build=${1:?usage: package-check.sh BUILD_DIR}
command -v cpack >/dev/null && command -v dpkg-deb >/dev/null || { echo "no cpack/dpkg-deb"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Without a repository key (whatever the build folder was configured with): no apt source.
(cd "$build" && SVD_APT_PUBLIC_KEY= cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) \
  || { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$scratch"/out/sorvanta-desktop_*.deb)
echo "package: $(basename "$deb")"

fail() { echo "package-check: FAIL: $*" >&2; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
if command -v lintian >/dev/null; then
  lint=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian: $lint"
  echo "lintian: $(grep -v 'root privileges' <<<"$lint" || echo "no tags")"
else
  echo "lintian not installed (tools/setup.sh installs it): Debian's checks skipped"
fi
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libqt6webenginewidgets6 libqt6webenginecore6-bin libmpv2 libtorrent-rasterbar2.0 libssl3 qt6-qpa-plugins; do
  grep -q "\b$lib\b" <<<"$depends" || fail "Depends does not name $lib"
done

root=$scratch/root
dpkg-deb -x "$deb" "$root"
for f in usr/bin/sorvanta-desktop usr/share/applications/tv.sorvanta.Desktop.desktop \
         usr/share/icons/hicolor/scalable/apps/tv.sorvanta.Desktop.svg \
         usr/share/metainfo/tv.sorvanta.Desktop.metainfo.xml usr/share/sorvanta-desktop/fixtures/900001.json; do
  [[ -e $root/$f ]] || fail "missing /$f"
done
if find "$root" -path '*/tools/*' -o -name 'svd-*' | grep -q .; then fail "test tools in the package"; fi
grep -q "no repository key" "$scratch/cpack.log" && [[ ! -e $root/etc && ! -e $root/usr/share/keyrings ]] \
  || fail "an apt source or keyring without a repository key, or cpack did not say so"

export HOME=$scratch/home XDG_DATA_HOME=$scratch/home/data XDG_CONFIG_HOME=$scratch/home/config \
  XDG_CACHE_HOME=$scratch/home/cache
printed=$(QT_QPA_PLATFORM=offscreen "$root/usr/bin/sorvanta-desktop" --version 2>&1) || fail "--version: $printed"
echo "$printed"
grep -qF "$version" <<<"$printed" || fail "--version does not print $version"

if [[ -n ${DISPLAY:-} ]]; then
  smoke=$("$root/usr/bin/sorvanta-desktop" --smoke 2>&1) || fail "--smoke from the package: $smoke"
  echo "--smoke: ok"
else
  echo "--smoke skipped: no display"
fi
echo "package-check: PASS"
