#!/usr/bin/env bash
# The local demo of Sorvanta Desktop: demo episodes (made once, then cached), a
# loopback swarm (tracker, a fast and a rate-limited seeder, and a source nobody
# seeds), the local backend serving the API, the demo site and the update
# endpoints (a feed offering the next version, signed with the demo key by the
# release tools), and the program on that site. Closing the window stops everything.
#
#   tools/demo.sh                  set up, build, run the demo (needs a display)
#   tools/demo.sh --serve          swarm + site only, until Ctrl-C (open the URL in the program or a browser)
#   tools/demo.sh --check          start swarm + backend, verify site, API, .torrent files, the signed
#                                  update offer (check + verified download) and that the seeders
#                                  serve, then stop (no display needed)
#   tools/demo.sh --play-check     on a display: the program walks the site ("#tour"), plays an episode,
#                                  screenshots go to <build>/demo-shots; checks nothing is left running
#                                  (exit 77 = skipped: no display or no web shell in this build)
# Options: --build-dir DIR (default build/), --no-build (skip setup and build),
#          --work-dir DIR (default ~/.cache/sorvanta-demo, or <build>/demo-check, <build>/demo-play),
#          --port N (preferred port of the backend), -- ARGS... (extra program options).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
mode=run
build=$root/build
do_build=1
work=""
port=""
app_args=()
while [[ $# -gt 0 ]]; do
  case $1 in
    --check) mode=check; do_build=0 ;;
    --play-check) mode=play; do_build=0 ;;
    --serve) mode=serve ;;
    --build-dir) build=$(cd "$2" && pwd); shift ;;
    --no-build) do_build=0 ;;
    --work-dir) work=$2; shift ;;
    --port) port=$2; shift ;;
    --) shift; app_args=("$@"); break ;;
    -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

say() { echo "demo: $*"; }

# Chromium refuses to run as root with its sandbox on; the demo only ever
# shows the local site, so switch it off there.
if [[ $(id -u) -eq 0 ]]; then
  export QTWEBENGINE_DISABLE_SANDBOX=1
fi
# The page engine must not reach out to the internet on its own.
export QTWEBENGINE_CHROMIUM_FLAGS="${QTWEBENGINE_CHROMIUM_FLAGS:-} --disable-background-networking --disable-component-update --disable-sync"
die() { echo "demo: $*" >&2; exit 1; }

if [[ $mode == run && -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
  cat >&2 <<EOF
demo: no display found (DISPLAY and WAYLAND_DISPLAY are empty).
  Run it on a virtual display:   xvfb-run -a -s "-screen 0 1280x800x24" tools/demo.sh -- --quit-after 60
  or without a window:           tools/demo.sh --check    (checks the swarm and the site)
                                 tools/demo.sh --serve    (serves the demo site until Ctrl-C)
EOF
  exit 2
fi

if [[ $mode == play && -z ${DISPLAY:-} ]]; then
  echo "demo: --play-check needs a display (run it under xvfb-run); skipped"
  exit 77
fi

if [[ $do_build == 1 ]]; then
  "$root/tools/setup.sh"
  if [[ $build == "$root/build" ]]; then
    "$root/tools/build.sh" --target sorvanta-desktop gen-episodes svd-demo-server svd-seeder svd-release
  else
    cmake --build "$build" --target sorvanta-desktop gen-episodes svd-demo-server svd-seeder svd-release
  fi
fi

gen=$build/tools/gen-episodes
server=$build/tools/demo/svd-demo-server
seeder=$build/tools/demo/svd-seeder
app=$build/app/sorvanta-desktop
site=$root/tools/demo/site
for b in "$gen" "$server" "$seeder"; do
  [[ -x $b ]] || die "missing $b (build the targets gen-episodes svd-demo-server svd-seeder)"
done
for tool in python3 curl; do
  if ! command -v $tool >/dev/null; then
    echo "demo: $tool is needed (tools/setup.sh installs it)" >&2
    [[ $mode == check ]] && exit 77 || exit 1
  fi
done

if [[ -z $work ]]; then
  if [[ $mode == check || $mode == play ]]; then work=$build/demo-$mode; else work=${XDG_CACHE_HOME:-$HOME/.cache}/sorvanta-demo; fi
fi
mkdir -p "$work/logs"
export SVD_LOOPBACK_ONLY=1

# The check uses tiny episodes so that it stays fast even with an empty media cache.
gen_profile=()
[[ $mode == check || $mode == play ]] && gen_profile=(--duration 20 --height 240 --video-kbps 300)

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
pick_port() {
  # A stable port keeps the generated .torrent files (their tracker URL names it) valid between runs.
  local p=$1
  if ! port_in_use "$p"; then echo "$p"; return; fi
  for _ in $(seq 50); do
    p=$((20000 + RANDOM % 12000))
    port_in_use "$p" || { echo "$p"; return; }
  done
  die "no free loopback port found"
}
if [[ -z $port ]]; then
  case $mode in check) port=28797 ;; play) port=28807 ;; *) port=28787 ;; esac
fi
port=$(pick_port "$port")
base=http://127.0.0.1:$port

# --- episodes ------------------------------------------------------------------
# "id<TAB>stem<TAB>first<TAB>count<TAB>sources" for every title with episodes.
titles=$(python3 - "$site/catalogue.json" <<'EOF'
import json, sys
for t in json.load(open(sys.argv[1], encoding="utf-8"))["titles"]:
    g = t.get("gen")
    if g:
        print("\t".join(str(x) for x in (t["id"], g["stem"], g["firstEpisode"], g["episodes"], g["sources"])))
EOF
)
fixtures=()
if [[ ! -d ${SVD_TEST_MEDIA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/sorvanta-test-media} ]]; then
  say "first run: encoding the demo episodes with ffmpeg (a minute or two, cached afterwards)"
fi
while IFS=$'\t' read -r id stem first count sources; do
  [[ -n $id ]] || continue
  out=$("$gen" --out "$work/titles/$id" --anime "$id" --title "$stem" --first-episode "$first" \
        --episodes "$count" --sources "$sources" --announce "$base/announce" "${gen_profile[@]}") \
    || die "gen-episodes failed for title $id"
  fixtures+=("$out")
done <<<"$titles"
say "episodes ready: ${#fixtures[@]} titles in $work/titles"

# --- processes -----------------------------------------------------------------
pids=()
stop_all() {
  if [[ ${#pids[@]} -gt 0 ]]; then
    kill -TERM "${pids[@]}" 2>/dev/null || true
    for _ in $(seq 50); do
      local alive=0
      for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null && alive=1; done
      [[ $alive == 0 ]] && break
      sleep 0.1
    done
    kill -KILL "${pids[@]}" 2>/dev/null || true
    wait 2>/dev/null || true
    pids=()
    say "stopped the swarm and the backend"
  fi
}
cleanup() {
  local code=$?
  trap - EXIT INT TERM
  stop_all
  exit "$code"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits until FILE contains PATTERN while PID lives; prints the matching line.
wait_for_line() {
  local file=$1 pattern=$2 pid=$3 what=$4
  for _ in $(seq 150); do
    if grep -m1 -- "$pattern" "$file" 2>/dev/null; then return 0; fi
    kill -0 "$pid" 2>/dev/null || { cat "$file" >&2; die "$what exited"; }
    sleep 0.1
  done
  cat "$file" >&2
  die "$what did not start in 15 s"
}

# --- update feed ---------------------------------------------------------------------
# The next version offered as a real release would be: a (stand-in) package signed by
# tools/release with the demo key pair of tools/demo/update-key. That private key is public,
# so the program takes the demo key only through --update-test-key, and only for an update
# URL on 127.0.0.1.
release_tool=$build/tools/release/svd-release
demo_key=$root/tools/demo/update-key
demo_pub=$(cat "$demo_key/demo-release.pub")
update_args=()
feed_args=()
offer_version=""
if [[ -x $release_tool ]] && command -v dpkg-deb >/dev/null; then
  app_version=$(sed -n 's/^project(SorvantaDesktop VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
  IFS=. read -r major minor _ <<<"$app_version"
  offer_version=$major.$((minor + 1)).0
  upd=$work/update
  rm -rf "$upd"
  mkdir -p "$upd/pkg/DEBIAN" "$upd/pkg/usr/share/doc/sorvanta-desktop"
  printf 'Package: sorvanta-desktop\nVersion: %s\nArchitecture: amd64\nMaintainer: Sorvanta <desktop@sorvanta.tv>\nDescription: Sorvanta Desktop demo update (a stand-in package)\n' \
    "$offer_version" >"$upd/pkg/DEBIAN/control"
  echo "The demo's update package: it only shows the signed update path." \
    >"$upd/pkg/usr/share/doc/sorvanta-desktop/README.demo"
  deb=$upd/sorvanta-desktop_${offer_version}_amd64.deb
  dpkg-deb --build --root-owner-group "$upd/pkg" "$deb" >/dev/null || die "dpkg-deb failed"
  SVD_RELEASE_KEY=$(cat "$demo_key/demo-release.key") "$release_tool" sign-release --deb "$deb" \
    --version "$offer_version" --base-url "$base" --public-key "$demo_pub" --out "$upd/release" \
    --notes "Демо-обновление: подписано демо-ключом Ed25519 и проверено приложением." >/dev/null \
    || die "sign-release failed"
  "$release_tool" make-feed --release "$upd/release" --public-key "$demo_pub" --out "$upd/feed" >/dev/null \
    || die "make-feed failed"
  feed_args=(--update-feed "$upd/feed")
  update_args=(--update-test-key "$demo_pub")
  say "update feed: version $offer_version signed with the demo key ($upd/feed)"
else
  say "no update feed (svd-release or dpkg-deb missing): the update endpoint answers 204"
fi

fixture_args=()
for f in "${fixtures[@]}"; do fixture_args+=(--fixtures "$f"); done
"$server" --port "$port" --site "$site" "${fixture_args[@]}" "${feed_args[@]}" --interval 10 \
  >"$work/logs/server.log" 2>&1 &
pids+=($!)
wait_for_line "$work/logs/server.log" "listening on" "${pids[-1]}" "the backend" >/dev/null

seed_args=()
for f in "${fixtures[@]}"; do seed_args+=(--fixture "$f"); done
"$seeder" --name fast "${seed_args[@]}" >"$work/logs/seeder-fast.log" 2>&1 &
pids+=($!)
fast_line=$(wait_for_line "$work/logs/seeder-fast.log" "seeder fast: 127.0.0.1:" "${pids[-1]}" "the fast seeder")
"$seeder" --name slow --upload-kbps 400 "${seed_args[@]}" >"$work/logs/seeder-slow.log" 2>&1 &
pids+=($!)
slow_line=$(wait_for_line "$work/logs/seeder-slow.log" "seeder slow: 127.0.0.1:" "${pids[-1]}" "the slow seeder")
fast_port=$(sed -E 's/.*127\.0\.0\.1:([0-9]+).*/\1/' <<<"$fast_line")
slow_port=$(sed -E 's/.*127\.0\.0\.1:([0-9]+).*/\1/' <<<"$slow_line")

# Seeded info-hashes and the ones nobody seeds, from the fixtures.
read -r live_hashes dead_hashes < <(python3 - "${fixtures[@]}" <<'EOF'
import json, sys
live, dead = set(), set()
for path in sys.argv[1:]:
    for ep in json.load(open(path, encoding="utf-8"))["episodes"]:
        for s in ep["sources"]:
            (live if s.get("seedPath") else dead).add(s["infoHash"])
print(",".join(sorted(live)) or "-", ",".join(sorted(dead)) or "-")
EOF
)

# Ready once the tracker knows both seeders of every seeded torrent.
tracker_ready() {
  curl -fsS --max-time 2 "$base/tracker/stats" | python3 -c '
import json, sys
stats = json.load(sys.stdin)
live = [h for h in sys.argv[1].split(",") if h != "-"]
sys.exit(0 if all(stats.get(h, {}).get("seeders", 0) >= 2 for h in live) else 1)' "$live_hashes"
}
for i in $(seq 100); do
  tracker_ready && break
  [[ $i == 100 ]] && die "the seeders did not announce to the tracker within 10 s (see $work/logs)"
  sleep 0.1
done
say "swarm up: tracker $base/announce, seeders 127.0.0.1:$fast_port (fast) and 127.0.0.1:$slow_port (400 KB/s)"
say "site $base/  (logs in $work/logs)"

# --- check -----------------------------------------------------------------------
if [[ $mode == check ]]; then
  fail() { echo "demo-check: FAIL: $*" >&2; exit 1; }
  ok() { echo "demo-check: ok: $*"; }
  status_of() { curl -s -o /dev/null -w '%{http_code}' --max-time 5 "$1"; }

  page=$(curl -fsS --max-time 5 "$base/") || fail "site / does not answer"
  grep -q "Сорванта" <<<"$page" || fail "site / is not the demo site"
  for path in /app.js /style.css /catalogue.json /title/910001 /title/910001/episode/2; do
    [[ $(status_of "$base$path") == 200 ]] || fail "site $path does not answer 200"
  done
  ok "site pages"

  # Every catalogue episode: sources from the API for titles with episodes, 404 for the others; each
  # source's .torrent is served; the first source of a title with a dead one is the dead one.
  python3 - "$site/catalogue.json" "$base" <<'EOF' || fail "API answers (above)"
import json, sys, urllib.request, urllib.error
cat, base = json.load(open(sys.argv[1], encoding="utf-8")), sys.argv[2]
def get(url):
    try:
        with urllib.request.urlopen(url, timeout=5) as r:
            return r.status, r.headers.get("Content-Type", ""), r.read()
    except urllib.error.HTTPError as e:
        return e.code, "", b""
bad = []
for t in cat["titles"]:
    for ep in t["episodes"]:
        code, ctype, body = get(f"{base}/api/anime/{t['id']}/torrents?episode={ep}")
        if "gen" not in t:
            if code != 404: bad.append(f"{t['id']}/{ep}: {code}, expected 404")
            continue
        if code != 200 or "json" not in ctype:
            bad.append(f"{t['id']}/{ep}: {code} {ctype}"); continue
        sources = json.loads(body)["sources"]
        want = [s.split(":")[0] for s in t["gen"]["sources"].split(",")]
        if [s["id"] for s in sources] != want:
            bad.append(f"{t['id']}/{ep}: sources {[s['id'] for s in sources]}, expected {want}")
        for s in sources:
            code, ctype, body = get(base + s["torrentUrl"])
            if code != 200 or ctype != "application/x-bittorrent" or not body.startswith(b"d"):
                bad.append(f"{t['id']}/{ep} {s['id']}: .torrent {code} {ctype}")
for b in bad: print("demo-check:", b, file=sys.stderr)
sys.exit(1 if bad else 0)
EOF
  ok "API: sources of every catalogue episode and their .torrent files"

  [[ -n $offer_version ]] || fail "no update feed (build svd-release)"
  curl -fsS --max-time 5 "$base/api/desktop/update?platform=linux&arch=x64&channel=stable&version=0.1.3" \
    | grep -q '"signature"' || fail "update endpoint does not answer with a signed manifest"
  curl -fsSL --max-time 5 "$base/api/desktop/latest?platform=linux&arch=x64" | grep -q "Sorvanta Desktop $offer_version" \
    || fail "latest page"
  ok "update endpoint (signed $offer_version) and latest page"

  # The seeders serve: one torrent through the tracker, and from each seeder alone.
  hash=${live_hashes%%,*}
  torrent=$(ls "$work"/titles/*/torrents/"$hash".torrent | head -1)
  rm -rf "$work/fetch"
  "$seeder" --fetch "$torrent" --out "$work/fetch/tracker" --timeout 30 || fail "download through the tracker"
  "$seeder" --fetch "$torrent" --out "$work/fetch/fast" --no-trackers --peer "127.0.0.1:$fast_port" --timeout 30 \
    || fail "download from the fast seeder"
  "$seeder" --fetch "$torrent" --out "$work/fetch/slow" --no-trackers --peer "127.0.0.1:$slow_port" --timeout 40 \
    || fail "download from the rate-limited seeder"
  cmp -s <(cd "$work/fetch/tracker" && find . -type f -exec sha1sum {} + | sort) \
         <(cd "$work/fetch/slow" && find . -type f -exec sha1sum {} + | sort) || fail "downloads differ"
  rm -rf "$work/fetch"
  ok "seeders serve (tracker, fast, rate-limited)"

  stats=$(curl -fsS --max-time 2 "$base/tracker/stats")
  for h in ${dead_hashes//,/ }; do
    [[ $h == - ]] && continue
    python3 -c 'import json,sys; sys.exit(1 if json.loads(sys.argv[1]).get(sys.argv[2], {}).get("seeders", 0) else 0)' \
      "$stats" "$h" || fail "the unseeded source $h has seeders"
  done
  ok "the unseeded sources have no seeders"

  if [[ -x $app ]]; then
    # The program's own update check against the demo endpoint, with the demo key, in a
    # throw-away data folder: the offer verifies and so does the downloaded package.
    scratch=$(mktemp -d)
    set +e
    out=$(XDG_DATA_HOME=$scratch/data XDG_CONFIG_HOME=$scratch/config XDG_CACHE_HOME=$scratch/cache \
          QT_QPA_PLATFORM=offscreen timeout 60 "$app" --check-update --update-download --update-url "$base" \
          "${update_args[@]}" 2>&1)
    code=$?
    set -e
    rm -rf "$scratch"
    [[ $code == 10 ]] && grep -q "update-check: available version $offer_version" <<<"$out" \
      && grep -q "update-download: ok" <<<"$out" \
      || fail "sorvanta-desktop --check-update --update-download exited $code: $out"
    ok "sorvanta-desktop --check-update: $offer_version offered, download verified"
  else
    echo "demo-check: skipped the program's update check ($app not built)"
  fi
  echo "demo-check: PASS"
  exit 0
fi

# --- play check ------------------------------------------------------------------
if [[ $mode == play ]]; then
  [[ -x $app ]] || { echo "demo: $app not built; skipped"; exit 77; }
  shots=$build/demo-shots
  mkdir -p "$shots"
  rm -f "$shots"/*.png
  log=$work/logs/app-play.log
  rm -f "$log"
  scratch=$(mktemp -d)
  shoot() { # NAME: the whole virtual screen
    ffmpeg -loglevel error -nostdin -f x11grab -i "$DISPLAY" -frames:v 1 -y "$shots/$1.png" 2>/dev/null \
      && echo "demo: screenshot $shots/$1.png" || echo "demo: screenshot $1 failed"
  }
  XDG_DATA_HOME=$scratch/data XDG_CONFIG_HOME=$scratch/config XDG_CACHE_HOME=$scratch/cache \
    "$app" --site "$base/#tour" --api "$base" --update-url "$base" --no-peers-timeout 5 --quit-after 60 \
    --window-geometry 0,0,1280,800 --log "$log" "${app_args[@]}" >"$work/logs/app-play.out" 2>&1 &
  app_pid=$!
  pids+=("$app_pid")
  taken=""
  while kill -0 "$app_pid" 2>/dev/null; do
    for step in "tour catalogue|catalogue|2" "started|playing|3" "tour dropdown open|dropdown|2"; do
      IFS='|' read -r pattern name delay <<<"$step"
      if [[ $taken != *"[$name]"* ]] && grep -q "sorvantaDesktop demo: $pattern" "$log" 2>/dev/null; then
        taken+="[$name]"
        sleep "$delay"
        shoot "$name"
      fi
    done
    sleep 0.5
  done
  set +e
  wait "$app_pid"
  code=$?
  set -e
  rm -rf "$scratch"
  if ! grep -q "shell: loading" "$log" 2>/dev/null; then
    echo "demo: the program in this build does not open the web shell (exit $code); skipped"
    exit 77
  fi
  grep -q "sorvantaDesktop demo: started" "$log" || { echo "demo-play: FAIL: no episode started (log $log)" >&2; exit 1; }
  grep "sorvantaDesktop demo:" "$log" | sed 's/^/  /'
  stop_all
  for p in "$port" "$fast_port" "$slow_port"; do
    port_in_use "$p" && { echo "demo-play: FAIL: port $p still open" >&2; exit 1; }
  done
  echo "demo-play: PASS (program exit $code)"
  exit 0
fi

# --- serve / run -----------------------------------------------------------------
if [[ $mode == serve ]]; then
  say "serving until Ctrl-C; start the program with:"
  echo "  SVD_LOOPBACK_ONLY=1 $app --site $base/ --api $base --update-url $base ${update_args[*]}"
  while sleep 3600; do :; done
fi

[[ -x $app ]] || die "missing $app"
say "starting Sorvanta Desktop; close its window to stop the demo"
start=$SECONDS
set +e
"$app" --site "$base/" --api "$base" --update-url "$base" "${update_args[@]}" --no-peers-timeout 10 \
  "${app_args[@]}" 2>&1 | tee "$work/logs/app.log"
code=${PIPESTATUS[0]}
set -e
if [[ $code != 0 ]]; then
  say "the program exited with code $code after $((SECONDS - start)) s (log: $work/logs/app.log)"
fi
exit "$code"
