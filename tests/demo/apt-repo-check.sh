#!/usr/bin/env bash
# The release's apt repository end to end, as a system with the package installed sees it.
# The package is built with a throwaway repository key and carries that keyring and the apt
# source; tools/release/apt-repo publishes it and a newer stand-in on 127.0.0.1; apt, in a
# private root that trusts only what the package brought, verifies the suite, offers the
# newer version and fetches it with the published checksum. A changed Packages file and a
# changed InRelease are refused.
set -euo pipefail
build=${1:?usage: apt-repo-check.sh BUILD_DIR}
src=$(cd "$(dirname "$0")/../.." && pwd)
for tool in cpack dpkg-deb gpg gpgv apt-ftparchive apt-get python3; do
  command -v "$tool" >/dev/null || { echo "no $tool"; exit 77; }
done
scratch=$(mktemp -d)
server=""
cleanup() {
  [[ -n $server ]] && { kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true; }
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "apt-repo-check: FAIL: $*" >&2; exit 1; }
started=$SECONDS

# Served first: the package's apt source names the port.
mkdir -p "$scratch/www"
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$scratch/www" >"$scratch/http.log" 2>&1 &
server=$!
port=""
for _ in $(seq 50); do
  port=$(sed -n 's/^Serving HTTP on 127.0.0.1 port \([0-9]*\) .*/\1/p' "$scratch/http.log")
  [[ -n $port ]] && break
  sleep 0.1
done
[[ -n $port ]] || fail "no web server: $(cat "$scratch/http.log")"
url=http://127.0.0.1:$port/apt

tool=$src/tools/release/apt-repo
"$tool" keygen "$scratch/apt.key" >/dev/null 2>&1 || fail "apt-repo keygen"
"$tool" public-key --key "$scratch/apt.key" >"$scratch/apt.asc" || fail "apt-repo public-key"
(cd "$build" && SVD_APT_PUBLIC_KEY=$scratch/apt.asc SVD_APT_URL=$url cpack -G DEB -B "$scratch/out") \
  >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; fail "cpack"; }
grep -F "sorvanta-desktop: apt source $url stable main" "$scratch/cpack.log"
deb=$(ls "$scratch"/out/sorvanta-desktop_*.deb)
# The secret key given by mistake is refused: it would be published with every package.
(cd "$build" && SVD_APT_PUBLIC_KEY=$scratch/apt.key SVD_APT_URL=$url cpack -G DEB -B "$scratch/bad") \
  >"$scratch/bad.log" 2>&1 && fail "cpack packaged a secret key"
grep -q "holds a secret key" "$scratch/bad.log" || { cat "$scratch/bad.log"; fail "no word of the secret key"; }
version=$(dpkg-deb -f "$deb" Version)

# The package: keyring, apt source (a conffile) and still nothing lintian calls wrong.
dpkg-deb -x "$deb" "$scratch/pkg"
dpkg-deb -e "$deb" "$scratch/pkg/DEBIAN"
sources=$scratch/pkg/etc/apt/sources.list.d/sorvanta-desktop.sources
keyring=$scratch/pkg/usr/share/keyrings/sorvanta-desktop-archive-keyring.gpg
[[ -f $sources && -f $keyring ]] || fail "the package carries no apt source or keyring"
grep -qx "/etc/apt/sources.list.d/sorvanta-desktop.sources" "$scratch/pkg/DEBIAN/conffiles" \
  || fail "the apt source is no conffile"
grep -qx "URIs: $url" "$sources" || fail "the apt source does not point at $url"
grep -qx "Signed-By: /usr/share/keyrings/sorvanta-desktop-archive-keyring.gpg" "$sources" \
  || fail "the apt source does not name the package's keyring"
if command -v lintian >/dev/null; then
  lint=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian on the package with its apt source: $lint"
  echo "lintian: $(grep -v 'root privileges' <<<"$lint" || echo "no tags")"
fi

# A newer stand-in of the same name without dependencies: the private root has nothing installed.
newer=$version+1
mkdir -p "$scratch/newer/DEBIAN"
printf 'Package: sorvanta-desktop\nVersion: %s\nArchitecture: amd64\nMaintainer: Sorvanta <desktop@sorvanta.tv>\nDescription: newer stand-in\n' \
  "$newer" >"$scratch/newer/DEBIAN/control"
newdeb=$scratch/sorvanta-desktop_${newer}_amd64.deb
dpkg-deb --build --root-owner-group "$scratch/newer" "$newdeb" >/dev/null
"$tool" build --deb "$deb" --deb "$newdeb" --out "$scratch/www/apt" --key "$scratch/apt.key" || fail "apt-repo build"

# apt in a private root: its own state, the package's apt source and keyring, nothing of this system's.
root=$scratch/root
mkdir -p "$root/etc/apt/sources.list.d" "$root/etc/apt/apt.conf.d" "$root/etc/apt/preferences.d" \
  "$root/var/lib/apt/lists/partial" "$root/var/cache/apt/archives/partial" "$root/dl"
cat >"$root/apt.conf" <<EOF
Dir "$root/";
Dir::State::status "$root/status";
APT::Architecture "amd64";
APT::Architectures { "amd64"; };
APT::Sandbox::User "root";
Acquire::Languages "none";
EOF
printf 'Package: sorvanta-desktop\nStatus: install ok installed\nVersion: %s\nArchitecture: amd64\nMaintainer: Sorvanta <desktop@sorvanta.tv>\nDescription: installed\n\n' \
  "$version" >"$root/status"
sed "s|^Signed-By: .*|Signed-By: $keyring|" "$sources" >"$root/etc/apt/sources.list.d/sorvanta-desktop.sources"
export APT_CONFIG=$root/apt.conf
update() {
  rm -rf "$root/var/lib/apt/lists" && mkdir -p "$root/var/lib/apt/lists/partial"
  apt-get update >"$scratch/update.log" 2>&1
}
candidate() { apt-cache policy sorvanta-desktop | sed -n 's/^ *Candidate: //p'; }

update || { cat "$scratch/update.log"; fail "apt-get update"; }
grep -q '^[WE]:' "$scratch/update.log" && { cat "$scratch/update.log"; fail "apt-get update complained"; }
echo "apt-get update: verified ($(grep -c '^Get:' "$scratch/update.log") files)"
[[ $(candidate) == "$newer" ]] || fail "candidate $(candidate), not $newer"
inst=$(apt-get -s install sorvanta-desktop | grep '^Inst ') || fail "apt-get -s install offers nothing"
echo "offered: $inst"
[[ $inst == "Inst sorvanta-desktop [$version] ($newer "* ]] || fail "not the update from $version to $newer"
(cd "$root/dl" && apt-get download sorvanta-desktop >"$scratch/download.log" 2>&1) \
  || { cat "$scratch/download.log"; fail "apt-get download"; }
got=$(sha256sum "$root"/dl/*.deb | cut -d' ' -f1)
published=$(awk -v v="$newer" '/^Version:/ { on = $2 == v } on && /^SHA256:/ { print $2 }' \
  "$scratch/www/apt/dists/stable/main/binary-amd64/Packages")
[[ $got == "$(sha256sum <"$newdeb" | cut -d' ' -f1)" && $got == "$published" ]] \
  || fail "downloaded sha256 $got, published $published"
echo "apt-get download: $(basename "$root"/dl/*.deb) sha256 $got"

# Tampering: each changed file is refused, and nothing newer is offered.
refused() {
  local what=$1 expect=$2
  update && fail "apt-get update accepted $what"
  grep -Eq "$expect" "$scratch/update.log" || { cat "$scratch/update.log"; fail "$what: no '$expect'"; }
  [[ $(candidate) == "$version" ]] || fail "$what: candidate $(candidate)"
  echo "$what: refused: $(grep -Em1 "$expect" "$scratch/update.log" | sed 's/^ *//')"
}
dist=$scratch/www/apt/dists/stable
cp -a "$dist" "$scratch/dist.good"
sed -i "s/^SHA256: ./SHA256: 0/" "$dist/main/binary-amd64/Packages"
gzip -9nfk "$dist/main/binary-amd64/Packages"
refused "a changed Packages" "Hash Sum mismatch|unexpected size"
rm -rf "$dist" && cp -a "$scratch/dist.good" "$dist"
sed -i "s/^Origin: Sorvanta$/Origin: Sorvanta2/" "$dist/InRelease"
refused "a changed InRelease" "BADSIG"
echo "apt-repo-check: PASS ($((SECONDS - started)) s)"
