#!/usr/bin/env bash
# An evening on the bench: a generated season seeded by the swarm lab, played
# back to back by the headless self-test (`--selftest --binge N`: each episode
# with a seek to 50 %, a dub change and its natural end leading to the next).
# Prints one row per episode and the growth per episode from the second on.
#
#   bench/run-evening.sh [--episodes 12] [--duration 150] [--video-kbps 1200] [--speed 4] [--scenario ideal]
#                        [--cache-max-mb MB] [--free-mb MB] [--drop-at S [--drop-for 30] [--drop-cuts]]
#                        [--wrap 'heaptrack -o FILE']
# --free-mb: pretend the cache volume has this much free space (a tight disk; the
# cache keeps 2 GiB of it free, so 2048 + 60 leaves the cache about 60 MB).
# --drop-at: the lab's relays pass nothing for --drop-for seconds, S seconds after the
# first connection to a seeder; the run then prints the drop and every stall of the evening.
# --drop-cuts: the drop also closes the connections (a router that lost its state).
# A drop the buffer cannot hide wants seeders near the bit rate at speed 1, e.g.
#   bench/run-evening.sh --episodes 3 --speed 1 --scenario thin --drop-at 110
# --wrap: a command the application runs under (a heap profiler); its figures then include
# the profiler's own cost.
#
# Figures only; it asserts nothing. Everything stays on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."

episodes=12 duration=150 kbps=1200 speed=4 scenario=ideal cap_mb=4096 free=() drop=() drop_for=30 cuts=() wrap=()
while [[ $# -gt 0 ]]; do
  case $1 in
    --episodes) episodes=$2; shift 2 ;;
    --duration) duration=$2; shift 2 ;;
    --video-kbps) kbps=$2; shift 2 ;;
    --speed) speed=$2; shift 2 ;;
    --scenario) scenario=$2; shift 2 ;;
    --cache-max-mb) cap_mb=$2; shift 2 ;;
    --free-mb) free=(--fake-free-mb "$2"); shift 2 ;;
    --wrap) read -r -a wrap <<<"$2"; shift 2 ;;
    --drop-at) drop=(--drop-at "$2"); shift 2 ;;
    --drop-for) drop_for=$2; shift 2 ;;
    --drop-cuts) cuts=(--drop-cuts); shift ;;
    -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
    *) echo "run-evening: unknown option $1" >&2; exit 2 ;;
  esac
done

tools/setup.sh
tools/build.sh --target sorvanta-desktop gen-episodes svd-swarmlab >/dev/null
build=$PWD/build
work=$build/bench-evening
season=$work/season-$episodes-$duration$([[ $kbps == 1200 ]] || echo "-$kbps")
run=$work/run
rm -rf "$run"
mkdir -p "$run"

echo "evening: generating $episodes episodes of $duration s (cached after the first time)"
fixture=$("$build/tools/gen-episodes" --out "$season" --episodes "$episodes" --duration "$duration" \
  --sources s:1024 --height 480 --video-kbps "$kbps")
read -r torrent content < <(python3 - "$fixture" <<'PY'
import json, os, sys
fixture = sys.argv[1]
src = json.load(open(fixture))["episodes"][0]["sources"][0]
base = os.path.dirname(fixture)
print(os.path.join(base, src["torrentUrl"]), os.path.join(base, src["seedPath"]))
PY
)

lab_log=$run/lab.log
"$build/tools/swarmlab/svd-swarmlab" --scenario "$scenario" --torrent "$torrent" --content "$content" \
  --work "$run/lab" ${drop[@]+"${drop[@]}" --drop-for "$drop_for" ${cuts[@]+"${cuts[@]}"}} > "$lab_log" 2>"$run/lab.err" &
lab=$!
trap 'kill $lab 2>/dev/null || true; wait $lab 2>/dev/null || true' EXIT
for _ in $(seq 300); do grep -q '"event":"ready"' "$lab_log" 2>/dev/null && break; sleep 0.1; done
grep -q '"event":"ready"' "$lab_log" || { echo "evening: the lab did not start (see $run)" >&2; exit 1; }

# The season's fixture, every episode's source pointing at the lab's copy of the torrent.
python3 - "$fixture" "$lab_log" "$run/fixture.json" <<'PY'
import json, sys
fixture, lab_log, out = sys.argv[1:]
ready = next(json.loads(l) for l in open(lab_log) if l.startswith("{") and '"ready"' in l)
doc = json.load(open(fixture))
for ep in doc["episodes"]:
    for src in ep["sources"]:
        src["torrentUrl"] = "file://" + ready["torrent"]
json.dump(doc, open(out, "w"))
PY

echo "evening: playing $episodes episodes at speed $speed on the '$scenario' lab, cache cap $cap_mb MB"
set +e
SVD_LOOPBACK_ONLY=1 XDG_DATA_HOME=$run/data XDG_CONFIG_HOME=$run/config QT_QPA_PLATFORM=offscreen \
  "${wrap[@]}" "$build/app/sorvanta-desktop" --selftest --binge "$episodes" --binge-speed "$speed" \
  --play-fixture "$run/fixture.json" --no-api --no-update --cache-dir "$run/cache" --cache-max-mb "$cap_mb" "${free[@]}" \
  --selftest-out "$run/evening.json" --log "$run/evening.log" > "$run/out.txt" 2>"$run/stderr.txt"
code=$?
set -e
grep '^binge: ' "$run/out.txt" || true
[[ -f $run/evening.json ]] || { echo "evening: no result (exit $code, see $run)" >&2; exit 1; }

python3 - "$run/evening.json" "$code" <<'PY'
import json, sys
rows = json.load(open(sys.argv[1]))
cols = [("episode", "ep", "%d"), ("first_frame_s", "first s", "%.2f"), ("seek_resume_s", "seek s", "%.2f"),
        ("stalls", "stalls", "%d"), ("peak_rss_mib", "RSS MiB", "%.1f"), ("rss_anon_mib", "anon MiB", "%.1f"),
        ("rss_file_mib", "file MiB", "%.1f"), ("threads", "threads", "%d"),
        ("fds", "fds", "%d"), ("cache_mib", "cache MiB", "%.1f"), ("cache_folders", "folders", "%d"),
        ("torrents_open", "torrents", "%d"), ("removals_pending", "removals", "%d")]
print()
print(" | ".join("%9s" % h for _, h, _ in cols))
for r in rows:
    print(" | ".join("%9s" % (f % r[k]) for k, _, f in cols))
if len(rows) >= 3:
    a, b = rows[1], rows[-1]
    n = len(rows) - 2
    print("\ngrowth per episode from episode %d to %d:" % (a["episode"], b["episode"]))
    for k, h, _ in cols[4:]:
        print("  %-9s %+.2f  (%s -> %s)" % (h, (b[k] - a[k]) / n, a[k], b[k]))
    rss_ok = b["peak_rss_mib"] <= max(a["peak_rss_mib"] * 1.10, a["peak_rss_mib"] + 20)
    print("  peak RSS of the last episode within 10 %% (or 20 MiB) of the second: %s" % ("yes" if rss_ok else "NO"))
print("\nexit code of the evening: %s" % sys.argv[2])
PY

# The drop on one clock (seconds from its start) with every stall of the evening.
[[ ${#drop[@]} -eq 0 ]] || python3 - "$run/evening.json" "$lab_log" <<'PY'
import json, sys
rows = json.load(open(sys.argv[1]))
drop = next((json.loads(l) for l in open(sys.argv[2]) if l.startswith("{") and '"event":"drop"' in l), None)
print()
if drop is None:
    print("drop: the lab never dropped the network (no connection, or the evening ended first)")
    sys.exit(0)
t0, lasts = drop["epoch_s"], drop["for_s"]
print("drop: the network went %.1f s after the first connection, for %.0f s: from +0.0 to +%.1f s%s"
      % (drop["at_s"], lasts, lasts, ", connections cut" if drop.get("cuts") else ""))
seen = False
for r in rows:
    for o in r.get("outages", []):
        seen = True
        began = o["at_epoch_s"] - t0
        ended = began + o["wait_s"]
        mark = "DROP" if began < lasts and ended > 0 else "    "
        print("  %s episode %d: stalled at +%.1f s at %.1f s, played again at +%.1f s (%+.1f s after the network came back) at %.1f s (%+.1f s from where it stopped)"
              % (mark, r["episode"], began, o["at_pos_s"], ended, ended - lasts, o["resumed_pos_s"], o["resumed_pos_s"] - o["at_pos_s"]))
if not seen:
    print("  no stall: the buffer covered the drop")
PY
