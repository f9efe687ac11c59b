#!/usr/bin/env bash
# One command from a checkout to an uploadable release: a RelWithDebInfo build with the
# release key compiled in, the stripped Debian package, its signed manifest, the static
# update feed and, with a repository key, the signed apt repository inside the feed.
#
#   tools/release/build-release.sh --public-key BASE64 --base-url URL --key FILE [options]
#
#   --public-key BASE64   the release public key (as printed by tools/release/keygen);
#                         or the environment variable SVD_UPDATE_PUBLIC_KEY
#   --key FILE            the private key file; without it the PEM text in SVD_RELEASE_KEY
#   --base-url URL        where dist/feed will be served (the program's update URL)
#   --notes TEXT | --notes-file FILE   release notes (shown in the update bar)
#   --channel stable|beta, --mandatory, --min-version V   passed to sign-release
#   --apt-key FILE        the apt repository's OpenPGP key (tools/release/apt-repo keygen); or
#                         its armored text in SVD_APT_KEY. The package then carries the apt
#                         source of <base-url>/apt and its keyring, and feed/apt/ is the signed
#                         repository (its pool keeps earlier releases). Without one: neither.
#   --apt-suite NAME      the repository's suite (default stable)
#   --out DIR             output folder (default dist/), --build-dir DIR (default build-release/)
#
# The version is the one in CMakeLists.txt (project(... VERSION x.y.z)); the program's own
# version text is checked against it at compile time.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
public_key=${SVD_UPDATE_PUBLIC_KEY:-}
key_file="" base_url="" notes="" notes_file="" out=$root/dist build=$root/build-release
apt_key="" apt_suite=stable
sign_extra=()
while [[ $# -gt 0 ]]; do
  case $1 in
    --public-key) public_key=$2; shift ;;
    --key) key_file=$2; shift ;;
    --base-url) base_url=$2; shift ;;
    --notes) notes=$2; shift ;;
    --notes-file) notes_file=$2; shift ;;
    --channel|--min-version) sign_extra+=("$1" "$2"); shift ;;
    --mandatory) sign_extra+=("$1") ;;
    --apt-key) apt_key=$2; shift ;;
    --apt-suite) apt_suite=$2; shift ;;
    --out) out=$2; shift ;;
    --build-dir) build=$2; shift ;;
    -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "build-release: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
say() { echo "build-release: $*"; }
die() { echo "build-release: $*" >&2; exit 1; }
[[ -n $public_key ]] || die "no release key: give --public-key (tools/release/keygen makes one)"
[[ -n $base_url ]] || die "give --base-url (where the feed will be served)"
[[ -n $key_file || -n ${SVD_RELEASE_KEY:-} ]] || die "no private key: give --key FILE or set SVD_RELEASE_KEY"
key_args=()
[[ -n $key_file ]] && key_args=(--key "$key_file")
notes_args=(--notes "$notes")
[[ -n $notes_file ]] && notes_args=(--notes-file "$notes_file")
apt_repo=$root/tools/release/apt-repo
apt_key_args=()
[[ -n $apt_key ]] && apt_key_args=(--key "$apt_key")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The repository key is checked before the long build too; the package gets its public half.
apt_url="" apt_public=""
if [[ -n $apt_key || -n ${SVD_APT_KEY:-} ]]; then
  apt_public=$scratch/apt-public.asc
  "$apt_repo" public-key "${apt_key_args[@]}" >"$apt_public" || die "unusable repository key"
  apt_url=${base_url%/}/apt
else
  say "no repository key (--apt-key or SVD_APT_KEY): no apt repository, and the package carries no apt source"
fi

version=$(sed -n 's/^project(SorvantaDesktop VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' "$root/CMakeLists.txt")
[[ -n $version ]] || die "no version in CMakeLists.txt"
say "version $version (CMakeLists.txt)"

"$root/tools/setup.sh"
# The key is checked before the long build: a usable Ed25519 key, not the demo key,
# and the private key belongs to it. CMake refuses a malformed or the demo key too.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSVD_UPDATE_PUBLIC_KEY="$public_key" -DSVD_BUILD_TESTS=OFF -DSVD_BUILD_BENCH=OFF \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >"$build.configure.log" 2>&1 \
  || { cat "$build.configure.log" >&2; die "configure failed"; }
rm -f "$build.configure.log"
cmake --build "$build" --target svd-release
tool=$build/tools/release/svd-release
"$tool" check-key --public-key "$public_key" --demo-key "$root/tools/demo/update-key/demo-release.pub" \
  "${key_args[@]}" || die "refusing to build a release with this key"

cmake --build "$build" --target sorvanta-desktop
say "packaging"
rm -rf "$build/packages"
(cd "$build" && SVD_APT_PUBLIC_KEY=$apt_public SVD_APT_URL=$apt_url SVD_APT_SUITE=$apt_suite \
  cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log" >&2; die "cpack failed"; }
grep 'sorvanta-desktop: ' "$build/cpack.log" || true
deb=$build/packages/sorvanta-desktop_${version}_amd64.deb
[[ -f $deb ]] || die "cpack made no $deb"

# The package holds a stripped program that carries this key.
dpkg-deb -x "$deb" "$scratch/root"
program=$scratch/root/usr/bin/sorvanta-desktop
readelf -S "$program" | grep -qE '\.(symtab|debug_info)' && die "the packaged program is not stripped"
grep -qF "$public_key" "$program" || die "the packaged program does not carry the release key"
[[ $(QT_QPA_PLATFORM=offscreen "$program" --version 2>/dev/null) == *"$version"* ]] \
  || die "the packaged program does not report version $version"
if [[ -n $apt_url ]]; then
  grep -qx "URIs: $apt_url" "$scratch/root/etc/apt/sources.list.d/sorvanta-desktop.sources" \
    || die "the package carries no apt source for $apt_url"
fi

mkdir -p "$out"
# make-feed replaces its own part of feed/; the apt pool there keeps earlier releases.
rm -rf "$out/release-$version"
"$tool" sign-release --deb "$deb" --version "$version" "${notes_args[@]}" --base-url "$base_url" \
  --public-key "$public_key" "${key_args[@]}" "${sign_extra[@]}" --out "$out/release-$version"
"$tool" make-feed --release "$out/release-$version" --public-key "$public_key" --out "$out/feed"
if [[ -n $apt_url ]]; then
  # A second run for this version replaces its package in the pool, as it replaces the feed's.
  rm -f "$out/feed/apt/pool/main/s/sorvanta-desktop/$(basename "$deb")"
  "$apt_repo" build --deb "$deb" --out "$out/feed/apt" --suite "$apt_suite" "${apt_key_args[@]}"
fi
# Debug information for crash reports, kept apart from the stripped package.
objcopy --only-keep-debug "$build/app/sorvanta-desktop" "$out/sorvanta-desktop_${version}_amd64.debug"
say "done: $out/release-$version (signed release), $out/feed (upload to $base_url),"
say "      $out/sorvanta-desktop_${version}_amd64.debug (debug symbols)"
