#!/usr/bin/env python3
"""Swarm benchmark driver, started by bench/run-swarm-bench.sh (which builds first).

For every scenario of the swarm lab and every run, each on a fresh lab (svd-swarmlab):
  ours A      the program's headless self-test: first frame, seek to 50 % resumed
  ours B      the self-test watching the whole episode: stalls, bytes never played, CPU, RSS
  peerflix A  peerflix + mpv (bench/swarm-mpv.lua): first frame, seek to 50 % resumed
  peerflix B  peerflix + mpv watching the whole episode
and the floor of each figure: bytes needed / the seeders' total rate + two round trips; for the
first frame also the measured floor: the same bytes fetched from the same seeders by a minimal
client (bench/wire_floor.py), which keeps what the seeders themselves add.
A scenario with `media=KIND` seeds a release file (bench/release_media.py) instead of the
standard episode; its first-frame floor counts the bytes mpv reads from a local copy before
its first frame rather than whole pieces.
A file at an episode's scale (release_media.LONG) is too long to watch: it gets only the A runs,
and its figures are printed beside those of its small kind (bench/swarm_report.py).
Prints one table per run (and medians with --runs N > 1) and the goal checks. Asserts nothing.
"""
import argparse
import ctypes
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import release_media
import wire_floor
from swarm_report import MIB, fmt, goal_checks, print_table, scale_table, summarize  # fmt: starts_soak.py uses it

WATCH_MAX_S = 600  # a longer file gets no whole-episode runs
HERE = os.path.dirname(os.path.abspath(__file__))
_libc = ctypes.CDLL(None, use_errno=True)


def die_with_parent():
    # PR_SET_PDEATHSIG = 1: children go when the driver goes, also on Ctrl-C.
    _libc.prctl(1, signal.SIGKILL)


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Child:
    """A child process whose resource use is read with wait4 and whose output lines
    are timestamped as they arrive."""

    def __init__(self, args, log_path, env=None, cwd=None, lines=False):
        self.t0 = time.monotonic()
        self.log = open(log_path, "wb")
        self.lines = []  # (monotonic time, text)
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE if lines else self.log,
                                     stderr=self.log, env=env, cwd=cwd, preexec_fn=die_with_parent)
        self.rusage = None
        self.status = None
        if lines:
            self.reader = threading.Thread(target=self._read, daemon=True)
            self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.append((time.monotonic(), raw.decode("utf-8", "replace").rstrip("\n")))
            self.log.write(raw)

    def wait(self, timeout):
        end = time.monotonic() + timeout
        while self.status is None:
            try:
                pid, status, ru = os.wait4(self.proc.pid, os.WNOHANG)
            except ChildProcessError:  # poll() has reaped it already: no resource figures
                self.status = self.proc.returncode
                break
            if pid:
                self.status, self.rusage = status, ru
                self.proc.returncode = os.waitstatus_to_exitcode(status)
                break
            if time.monotonic() > end:
                self.proc.kill()
                end = time.monotonic() + 10
            time.sleep(0.05)
        return self.proc.returncode

    def stop(self, timeout=5):
        if self.status is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.wait(timeout)

    def cpu(self):
        return self.rusage.ru_utime + self.rusage.ru_stime if self.rusage else None

    def rss_mib(self):
        return self.rusage.ru_maxrss / 1024.0 if self.rusage else None  # ru_maxrss is in KiB


class Lab:
    """One svd-swarmlab process running a scenario."""

    def __init__(self, build, scenario, torrent, content, work):
        os.makedirs(work, exist_ok=True)
        self.child = Child([os.path.join(build, "tools/swarmlab/svd-swarmlab"), "--scenario", scenario,
                            "--torrent", torrent, "--content", content, "--work", work],
                           os.path.join(work, "lab.log"), lines=True)
        # A scenario checks its own state first (seconds; a minute at worst).
        self.ready = self._event("ready", 90)
        if not self.ready:
            self.child.stop()
            raise RuntimeError("lab %s did not start (see %s/lab.log)" % (scenario, work))

    def _event(self, name, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            for _, line in self.child.lines:
                if line.startswith("{") and json.loads(line).get("event") == name:
                    return json.loads(line)
            if self.child.proc.poll() is not None and name != "stopped":
                return None
            time.sleep(0.02)
        return None

    def stop(self):
        self.child.stop(10)
        self.child.reader.join(5)
        return self._event("stopped", 1) or {}


def bytes_relayed(stopped):
    return sum(max(0, s.get("bytes_to_leechers", 0)) for s in stopped.get("seeders", []))


def point_at_lab(src, ready, path):
    """A fixture source as the lab serves it: its .torrent, or (source=magnet) only its magnet link:
    the .torrent named is missing, so the program takes the magnet."""
    if ready.get("source") == "magnet":
        src["torrentUrl"] = "file://" + os.path.join(os.path.dirname(os.path.abspath(path)), "no-such.torrent")
        src["magnet"] = ready["magnet"]
    else:
        src["torrentUrl"] = "file://" + ready["torrent"]


def write_fixture(episode_fixture, ready, path, keep_dubs=False):
    with open(episode_fixture) as f:
        doc = json.load(f)
    for ep in doc["episodes"]:
        for src in ep["sources"]:
            point_at_lab(src, ready, path)
            if not keep_dubs:
                src["dubs"] = src["dubs"][:1]  # a single dub: the self-test skips its dub switch
    with open(path, "w") as f:
        json.dump(doc, f)


def program_env(ready, rundir):
    """The program's environment for a run on the lab: loopback only, fresh folders, and the lab's
    DHT nodes when it has them (the only way the program may use a DHT under SVD_LOOPBACK_ONLY)."""
    env = dict(os.environ, SVD_LOOPBACK_ONLY="1", QT_QPA_PLATFORM="offscreen",
               XDG_DATA_HOME=os.path.join(rundir, "data"), XDG_CONFIG_HOME=os.path.join(rundir, "config"),
               XDG_CACHE_HOME=os.path.join(rundir, "cache-home"))
    env.pop("SVD_DHT_BOOTSTRAP", None)
    if ready.get("dht_bootstrap"):
        env["SVD_DHT_BOOTSTRAP"] = ready["dht_bootstrap"]
    return env


def add_dead_source(fixture, tracker, rundir):
    """Puts a source first that nobody seeds: the same file layout with other bytes, same tracker."""
    with open(fixture) as f:
        doc = json.load(f)
    live = doc["episodes"][0]["sources"][0]
    root, name = live["filePath"].split("/", 1)
    content = os.path.join(rundir, "dead", root)
    os.makedirs(os.path.dirname(os.path.join(content, name)), exist_ok=True)
    with open(os.path.join(content, name), "wb") as f:
        f.write(os.urandom(4 << 20))
    dead = os.path.join(rundir, "dead.torrent")
    subprocess.run(["mktorrent", "-a", tracker, "-l", "20", "-o", dead, content], check=True,
                   stdout=subprocess.DEVNULL)
    for ep in doc["episodes"]:
        ep["sources"].insert(0, dict(ep["sources"][0], id="dead", label="dead source", infoHash="0" * 40,
                                     torrentUrl="file://" + dead, magnet="", seeders=0))
    with open(fixture, "w") as f:
        json.dump(doc, f)


def run_ours(args, lab, episode, rundir, watch):
    fixture = os.path.join(rundir, "fixture.json")
    write_fixture(episode["fixture"], lab.ready, fixture)
    if args.dead_first and not watch:
        add_dead_source(fixture, lab.ready["tracker"], rundir)
    # Watching stops 2 s before the end: a seek from the end of a kept-open file never resumes.
    observe = episode["duration"] - 2 if watch else args.settle
    env = program_env(lab.ready, rundir)
    out = os.path.join(rundir, "selftest.json")
    child = Child([os.path.join(args.build, "app/sorvanta-desktop"), "--selftest", "--no-update",
                   "--play-fixture", fixture, "--selftest-out", out, "--cache-dir", os.path.join(rundir, "cache"),
                   "--log", os.path.join(rundir, "program.log"),
                   "--observe", str(observe), "--pause-observe", "0", "--max-wall", str(observe + 150)]
                  + (["--episode", str(episode["episode"])] if episode.get("episode") else []),
                  os.path.join(rundir, "selftest.stdout"), env=env)
    child.wait(observe + 200)
    stopped = lab.stop()
    try:
        with open(out) as f:
            res = json.load(f)
    except (OSError, ValueError):
        res = {}
    r = {"ok": bool(res.get("pass")), "failures": res.get("failures", ["no result"]),
         # With a dead source first, the time counts from the play request, not from the live source.
         "first_frame": res.get("time_to_first_frame_s" if args.dead_first and not watch
                                else "first_frame_since_source_start_s"),
         "seek": (res.get("seek50") or {}).get("resume_s"),
         "relayed": bytes_relayed(stopped), "cpu": child.cpu(), "rss": child.rss_mib(), "stopped": stopped,
         "downloaded": res.get("downloaded_mib"),
         "outside": pieces_outside(res.get("pieces_held"), episode)}
    if watch:
        obs = next((o for o in res.get("observations", []) if o.get("label") == "initial"), None)
        if obs:
            r["stalls"], r["stall_s"] = obs["stalls"], obs["stall_s"]
            # Within 4 s of the end, everything up to the end is in the player's cache already.
            end = obs["pos_to"] >= episode["duration"] - 4
            r["played"] = 1.0 if end else obs["pos_to"] / episode["duration"]
    return r


def run_peerflix(args, lab, episode, rundir, watch):
    if lab.ready.get("dht_bootstrap"):
        # Its DHT takes no bootstrap nodes from the command line and would ask routers off this machine.
        lab.stop()
        return {"ok": False, "skipped": "peerflix cannot be given the lab's DHT nodes"}
    port = free_port()
    source = lab.ready["magnet"] if lab.ready.get("source") == "magnet" else lab.ready["torrent"]
    # --tmp: torrent-stream keeps every torrent's metadata under it by info-hash (default /tmp), so a
    # later magnet run would skip the metadata and ask the trackers of an earlier lab.
    pf = Child(["node", args.peerflix, source, "--no-dht", "--hostname", "127.0.0.1",
                "--port", str(port), "--path", os.path.join(rundir, "pf"), "--tmp", os.path.join(rundir, "pf-tmp"),
                "--quiet"]
               + (["--index", str(episode["index"])] if episode.get("episode") else []),
               os.path.join(rundir, "peerflix.log"))
    listening = False
    while not listening and time.monotonic() - pf.t0 < 30 and pf.proc.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            listening = True
        except OSError:
            time.sleep(0.01)
    r = {"ok": False}
    if listening:
        limit = episode["duration"] + 120 if watch else 120
        mpv = Child(["mpv", "--no-config", "--vo=null", "--ao=null", "--really-quiet",
                     "--script=" + os.path.join(HERE, "swarm-mpv.lua"),
                     "--script-opts=svdbench-mode=%s,svdbench-settle=%s" % ("watch" if watch else "seek", args.settle),
                     "http://127.0.0.1:%d/" % port], os.path.join(rundir, "mpv.log"), lines=True)
        mpv.wait(limit)
        mpv.reader.join(5)
        ev = [(t, line.split()[1], line.split()[2:]) for t, line in mpv.lines if line.startswith("svdbench ")]
        at = {name: t for t, name, _ in reversed(ev)}
        if "first-frame" in at:
            r["ok"] = True
            r["first_frame"] = at["first-frame"] - pf.t0
        if "seek-resumed" in at and "seek-start" in at:
            r["seek"] = at["seek-resumed"] - at["seek-start"]
        if watch:
            stalls, stall_s, began = 0, 0.0, None
            for t, name, _ in ev:
                if name == "stall-start" and began is None:
                    stalls, began = stalls + 1, t
                elif name == "stall-end" and began is not None:
                    stall_s, began = stall_s + t - began, None
            r["stalls"], r["stall_s"] = stalls, round(stall_s, 3)
            ends = [v for _, name, v in ev if name == "end-file" and len(v) == 2]
            eof = bool(ends) and ends[-1][0] == "eof"
            r["played"] = 1.0 if eof else (min(1.0, float(ends[-1][1]) / episode["duration"]) if ends else 0.0)
            r["ok"] = r["ok"] and eof
        pf.stop()
        r["cpu"] = (pf.cpu() or 0) + (mpv.cpu() or 0)
        r["rss"] = (pf.rss_mib() or 0) + (mpv.rss_mib() or 0)
    else:
        pf.stop()
    stopped = lab.stop()
    r["relayed"] = bytes_relayed(stopped)
    r["stopped"] = stopped
    return r


def run_wire(args, lab, episode, rundir, watch):
    """The first frame's measured floor (bench/wire_floor.py): the blocks it needs, asked of every
    good TCP seeder present from the start by a minimal client."""
    info_hash, piece, files = release_media.torrent_files(episode["torrent"])
    total = sum(size for _, _, size in files)
    if episode.get("kind"):
        ranges = [[episode["offset"] + a, episode["offset"] + b] for a, b in startup_reads(episode["video"])]
    else:
        pieces = file_pieces(episode["offset"], episode["size"], piece, startup_reads(episode["video"]))
        ranges = [[p * piece, (p + 1) * piece] for p in sorted(pieces)]
    seeders = [s["endpoint"] for s in lab.ready["seeders"]
               if s["transport"] != "utp" and s["start_s"] == 0 and s["corrupt_pieces"] == 0]
    took = wire_floor.measure(seeders, info_hash, piece, total, ranges) if seeders else None
    lab.stop()
    return {"ok": took is not None or not seeders, "first_frame": took,
            "failures": ["the seeders did not send the blocks within 60 s"]}


def startup_reads(video):
    """Byte ranges [start, end) of the local file that mpv reads before its first frame (strace
    of `mpv --frames=1`), merged; cached beside the file."""
    cache = video + ".reads.json"
    if os.path.exists(cache):
        with open(cache) as f:
            return json.load(f)
    trace = video + ".strace.txt"
    subprocess.run(["strace", "-f", "-qq", "-e", "trace=openat,read,pread64,lseek,close", "-o", trace,
                    "mpv", "--no-config", "--really-quiet", "--vo=null", "--ao=null", "--frames=1", video],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    fds, reads, pending = {}, [], {}
    name = os.path.basename(video)
    with open(trace, errors="replace") as f:
        for line in f:
            parts = line.rstrip("\n").split(None, 1)
            if len(parts) < 2:
                continue
            pid, call = parts
            # -f interleaves the threads: a call cut by another thread's ends on a later line.
            if call.endswith("<unfinished ...>"):
                pending[pid] = call[:-len("<unfinished ...>")].rstrip()
                continue
            if call.startswith("<... ") and pid in pending:
                call = pending.pop(pid) + call.split(" resumed>", 1)[1]
            try:
                result = int(call.rsplit("=", 1)[1].split()[0])
            except (IndexError, ValueError):
                continue
            fd = call[call.find("(") + 1:].split(",")[0]
            if call.startswith("openat(") and name in call and result >= 0:
                fds[str(result)] = 0
            elif call.startswith("close(") and fd.rstrip(")") in fds:
                del fds[fd.rstrip(")")]
            elif fd in fds and call.startswith("lseek(") and result >= 0:
                fds[fd] = result
            elif fd in fds and call.startswith("read(") and result > 0:
                reads.append([fds[fd], fds[fd] + result])
                fds[fd] += result
            elif fd in fds and call.startswith("pread64(") and result > 0:
                off = int(call.rsplit(",", 1)[1].split(")")[0])
                reads.append([off, off + result])
    os.remove(trace)
    merged = []
    for a, b in sorted(reads):
        if merged and a <= merged[-1][1]:
            merged[-1][1] = max(merged[-1][1], b)
        else:
            merged.append([a, b])
    with open(cache, "w") as f:
        json.dump(merged, f)
    return merged


def file_pieces(offset, size, piece, ranges=None):
    """Pieces of the torrent that hold the given byte ranges of a file (all of it without ranges)."""
    out = set()
    for a, b in ranges if ranges is not None else [[0, size]]:
        out.update(range((offset + a) // piece, (offset + b - 1) // piece + 1))
    return out


def add_startup(ep):
    """What the first frame needs: the pieces holding mpv's reads from a local copy (their bytes:
    the floor of a standard episode) and the bytes read themselves (the floor of a release file)."""
    reads = startup_reads(ep["video"])
    pieces = file_pieces(ep["offset"], ep["size"], ep["piece"], reads) or {ep["offset"] // ep["piece"]}
    ep["startup_pieces"] = len(pieces)
    ep["startup_piece_set"] = sorted(pieces)
    ep["startup_bytes"] = len(pieces) * ep["piece"]
    ep["read_bytes"] = sum(b - a for a, b in reads)
    more = len(reads) - 1
    tail = more > 0 and reads[-1][1] >= ep["size"] - ep["piece"]
    ep["read_where"] = "head" + (" + tail" if tail else "") + (" + %d more" % (more - tail) if more > tail else "")
    return ep


def pieces_outside(held, episode):
    """Pieces held at the end outside the played episode and the one prepared after it (multi-file
    torrents with a next episode only); None when unknown."""
    if held is None or not episode.get("next"):
        return None
    have = set(parse_ranges(held))
    piece = episode["piece"]
    wanted = file_pieces(episode["offset"], episode["size"], piece) | file_pieces(*episode["next"], piece)
    return len(have - wanted)


def holders_rate(seeders, pieces):
    """Bytes per second at which the seeders holding any of `pieces` can send them: the sum of
    their rates (None: one of them is unthrottled). A partial peer counts for the pieces it holds."""
    def holds(s, p):
        return "pieces" not in s or p in s["held"]
    rates = [s["rate_kbps"] * 1000.0 for s in seeders if any(holds(s, p) for p in pieces)]
    return None if any(r == 0 for r in rates) else sum(rates)


def floors(ready, episode):
    """Floor of first frame and seek: bytes / the holders' total rate + two round trips, and the
    first frame's floor in whole pieces (the same as the first for the standard episode). Only good
    seeders present from the start count, each at its nominal rate (a choked one too); an unthrottled
    one makes the rate infinite. With partial peers, the slowest of the needed pieces over its own
    holders bounds it as well."""
    present = [dict(s, held=set(parse_ranges(s.get("pieces", "")))) for s in ready["seeders"]
               if s["start_s"] == 0 and s["corrupt_pieces"] == 0]
    rtt = 2 * min(s["latency_ms"] for s in present) / 1000.0
    piece = episode["piece"]

    def transfer(nbytes, pieces):
        def one(p):
            r = holders_rate(present, [p])
            return 0.0 if r is None else (float("inf") if r <= 0 else min(nbytes, piece) / r)
        rate = holders_rate(present, pieces)
        if rate is None:
            return 0.0
        return max(nbytes / rate if rate > 0 else float("inf"), max(map(one, pieces), default=0.0))

    needed = episode["startup_piece_set"]
    startup = episode["read_bytes"] if episode.get("kind") else episode["startup_bytes"]
    middle = (episode["offset"] + episode["size"] // 2) // piece
    return (transfer(startup, needed) + 2 * rtt, transfer(piece, [middle]) + 2 * rtt,
            transfer(episode["startup_bytes"], needed) + 2 * rtt)


def parse_ranges(text):
    """"0-3,7" -> [0, 1, 2, 3, 7]."""
    out = []
    for part in filter(None, text.split(",")):
        a, _, b = part.partition("-")
        out.extend(range(int(a), int(b or a) + 1))
    return out


def ensure_episode(args, media, piece_kib):
    if media:
        return add_startup(release_media.ensure_release(args.build, media, piece_kib, args.duration))
    out = os.path.join(args.build, "bench-swarm", "episode-%dk" % piece_kib)
    fixture = subprocess.run([os.path.join(args.build, "tools/gen-episodes"), "--out", out,
                              "--sources", "s%d:%d" % (piece_kib, piece_kib), "--duration", str(args.duration),
                              "--height", "720", "--video-kbps", "2500"],
                             check=True, capture_output=True, text=True).stdout.strip()
    with open(fixture) as f:
        src = json.load(f)["episodes"][0]["sources"][0]
    content = os.path.join(os.path.dirname(fixture), src["seedPath"])
    torrent = os.path.join(os.path.dirname(fixture), src["torrentUrl"])
    video = os.path.join(content, src["filePath"])
    # The video's place in the torrent: the dub's file comes before it.
    offset = next(o for path, o, _ in release_media.torrent_files(torrent)[2] if path == src["filePath"])
    return add_startup({"fixture": fixture, "torrent": torrent, "content": content, "video": video,
                        "size": os.path.getsize(video), "piece": src["pieceLength"], "offset": offset,
                        "duration": float(args.duration)})


def swarm_note(rec):
    """How the client met the swarm, where that tells something: relayed seeders it never reached or
    dialled again (a seed lost after the metadata dials back), and its dials to the silent ports."""
    stopped = rec.get("stopped", {})
    seeders = [s for s in stopped.get("seeders", []) if s.get("connections", -1) >= 0 and s.get("relayed")]
    items = []
    never = [str(s["index"]) for s in seeders if s["connections"] == 0]
    again = [str(s["index"]) for s in seeders if s["connections"] > 1]
    if never and len(never) < len(seeders) or (never and stopped.get("decoys")):
        items.append("%d of %d seeders never reached (%s)" % (len(never), len(seeders), ",".join(never[:12])))
    if again:
        items.append("%d seeders connected more than once (%s)" % (len(again), ",".join(again[:12])))
    decoys = stopped.get("decoys")
    if decoys:
        items.append("%d dials to the %d silent ports" % (decoys.get("silent_dials", 0), decoys.get("silent", 0)))
    return "; ".join(items)


def corrupt_note(rec):
    """What the corrupt seeder managed to send (the program's own count of hash failures is
    not in its self-test result)."""
    seeders = rec.get("stopped", {}).get("seeders", [])
    bad = [s for s in seeders if s.get("corrupt_pieces", 0) > 0]
    if not bad:
        return None
    return "bad seeder (%d corrupt pieces) sent %.1f MiB over %d connection(s)" % (
        bad[0]["corrupt_pieces"], max(0, bad[0].get("bytes_to_leechers", 0)) / MIB, bad[0].get("connections", 0))


def sides_of(args, ep, rec):
    """What runs on a scenario: (record key, function, watch)."""
    sides = [("oursA", run_ours, False)]
    if args.peerflix:
        sides.append(("pfA", run_peerflix, False))
    sides.append(("wire", run_wire, False))
    if ep["duration"] > WATCH_MAX_S and not args.no_watch:
        rec["notes"].append("whole-episode runs skipped: %.0f min to watch" % (ep["duration"] / 60))
    elif not args.no_watch:
        sides.append(("oursB", run_ours, True))
        if args.peerflix:
            sides.append(("pfB", run_peerflix, True))
    return sides


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("scenarios", nargs="*")
    ap.add_argument("--build", required=True)
    ap.add_argument("--runs", type=int, default=1)
    ap.add_argument("--peerflix", default="")
    ap.add_argument("--duration", type=int, default=60)
    ap.add_argument("--settle", type=float, default=3.0, help="seconds played before the seek")
    ap.add_argument("--no-watch", action="store_true", help="skip the whole-episode runs (B)")
    ap.add_argument("--dead-first", action="store_true",
                    help="our first-frame runs get a source nobody seeds before the live one")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)

    listed = subprocess.run([os.path.join(args.build, "tools/swarmlab/svd-swarmlab"), "--list"],
                            check=True, capture_output=True, text=True).stdout.splitlines()
    known = {s["name"]: s for s in map(json.loads, listed)}
    names = args.scenarios or list(known)
    for n in names:
        if n not in known:
            sys.exit("unknown scenario %s (known: %s)" % (n, ", ".join(known)))
    work = os.path.join(args.build, "bench-swarm", "runs")
    shutil.rmtree(work, ignore_errors=True)
    episodes = {}
    t_start = time.monotonic()
    all_runs = {n: [] for n in names}
    for run in range(args.runs):
        rows = []
        for name in names:
            what = (known[name].get("media", ""), known[name]["piece_kib"])
            if what not in episodes:
                log("swarm-bench: %s with %d KiB pieces" % (what[0] or "episode", what[1]))
                episodes[what] = ensure_episode(args, *what)
            ep = episodes[what]
            rec = {"notes": []}
            for key, fn, watch in sides_of(args, ep, rec):
                rundir = os.path.join(work, "%s-%d-%s" % (name, run, key))
                os.makedirs(rundir)
                log("swarm-bench: %s run %d %s (%.0f s so far)" % (name, run + 1, key, time.monotonic() - t_start))
                try:
                    lab = Lab(args.build, name, ep["torrent"], ep["content"], os.path.join(rundir, "lab"))
                except RuntimeError as e:
                    rec["notes"].append(str(e))
                    continue
                for k, v in zip(("floor_ff", "floor_seek", "floor_ff_pieces"), floors(lab.ready, ep)):
                    rec.setdefault(k, v)
                r = fn(args, lab, ep, rundir, watch)
                rec[key] = r
                if r.get("skipped"):
                    rec["notes"].append("%s skipped: %s" % (key, r["skipped"]))
                elif not r.get("ok"):
                    rec["notes"].append("%s run %d %s failed: %s (%s)" % (name, run + 1, key,
                                        "; ".join(r.get("failures", ["no first frame"])), rundir))
                if key in ("oursA", "pfA") and swarm_note(r):
                    rec["notes"].append("%s run %d %s: %s" % (name, run + 1, key, swarm_note(r)))
                if watch and key == "oursB":
                    note = corrupt_note(r)
                    if note:
                        rec["notes"].append("ours: " + note)
                if watch and key == "pfB":
                    note = corrupt_note(r)
                    if note:
                        rec["notes"].append("peerflix: " + note)
            all_runs[name].append(rec)
            rows.append(summarize(name, [rec], ep))
        standard = ["episode %.1f MiB, " % (e["size"] / MIB) for (media, _), e in episodes.items() if not media]
        print_table("Run %d of %d: %s%d s files; seconds; floor = bytes needed / seeders' rate + 2 RTT (pieces for "
                    "the episode, bytes read for release files); wire = those bytes fetched by a minimal client "
                    "from the same seeders over TCP"
                    % (run + 1, args.runs, "".join(standard[:1]), args.duration), rows)
        sys.stdout.flush()
    final = [summarize(n, all_runs[n], episodes[(known[n].get("media", ""), known[n]["piece_kib"])]) for n in names]
    if args.runs > 1:
        print_table("Medians of %d runs" % args.runs, final)
    scale_table(final)
    goal_checks(final)
    print("\nswarm-bench: %.0f s in all; runs in %s" % (time.monotonic() - t_start, work))


if __name__ == "__main__":
    main()
