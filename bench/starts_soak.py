#!/usr/bin/env python3
"""Start soak, started by bench/run-starts.sh (which builds first).

Many cold starts per swarm lab scenario, each its own run of the program's headless self-test
(fresh data, config and cache folders), on fresh seeders each time or, with --reuse-swarm, on one
lab per scenario. Rows:
  ideal, tcp-only, utp-only, crowd, two-pieces  first frame (and the self-test's seek to 50 %)
  dead-first    ideal with a source nobody seeds before the live one; counted from the play request
  choked, choked-plus-fresh, upload-only-partial, silent-first, magnet-only, mixed-40, dht-only
                public swarms: the first frame (and the seek) on the lab scenarios of those names
  seeks         slow-tcp: one exact seek to 50 % per run, its resume time
  seeks-256k    the same on slow-lt-256k (one libtorrent seeder at 900 KB/s, 256 KiB pieces)
  dub           thin, a 480p episode near the seeder's rate with every dub kept: the self-test's
                dub switch (request until the new dub plays) and the stalls in the 6 s after it
Prints count, failures, p50/p95/max per row, every failure with its kept log, and the backtrace
of every core the program left. Asserts nothing; exits 0 unless the tooling broke.
"""
import argparse
import glob
import json
import os
import resource
import shutil
import signal
import subprocess
import sys
import time

import swarm_bench as sb

# row: (swarm lab scenario, dead source first, episode kind)
ROWS = {
    "ideal": ("ideal", False, "bench"),
    "tcp-only": ("tcp-only", False, "bench"),
    "utp-only": ("utp-only", False, "bench"),
    "dead-first": ("ideal", True, "bench"),
    "two-pieces": ("two-pieces", False, "bench"),
    "crowd": ("crowd", False, "bench"),
    "choked": ("choked", False, "bench"),
    "choked-plus-fresh": ("choked-plus-fresh", False, "bench"),
    "upload-only-partial": ("upload-only-partial", False, "bench"),
    "silent-first": ("silent-first", False, "bench"),
    "magnet-only": ("magnet-only", False, "bench"),
    "mixed-40": ("mixed-40", False, "bench"),
    "dht-only": ("dht-only", False, "bench"),
    "seeks": ("slow-tcp", False, "bench"),
    "seeks-256k": ("slow-lt-256k", False, "bench"),
    "dub": ("thin", False, "thin"),
}
SOAKS = {"seeks": "seeks", "seeks-256k": "seeks", "dub": "dubs"}  # rows whose count is not --starts


def percentile(values, q):
    """Linear between the closest ranks; None without values."""
    v = sorted(values)
    if not v:
        return None
    k = (len(v) - 1) * q
    lo = int(k)
    hi = min(lo + 1, len(v) - 1)
    return v[lo] + (v[hi] - v[lo]) * (k - lo)


def spread(values):
    values = [x for x in values if x is not None]
    if not values:
        return "-"
    return "%s/%s/%s" % tuple(sb.fmt(x) for x in (percentile(values, 0.5), percentile(values, 0.95), max(values)))


def thin_episode(build, duration):
    """The evening's kind of episode (480p, 1200 kbit/s, two dubs), a little below the thin seeder's rate."""
    out = os.path.join(build, "bench-starts", "episode-thin-%d" % duration)
    fixture = subprocess.run([os.path.join(build, "tools/gen-episodes"), "--out", out, "--sources", "s:1024",
                              "--duration", str(duration), "--height", "480", "--video-kbps", "1200"],
                             check=True, capture_output=True, text=True).stdout.strip()
    with open(fixture) as f:
        src = json.load(f)["episodes"][0]["sources"][0]
    base = os.path.dirname(fixture)
    return {"fixture": fixture, "torrent": os.path.join(base, src["torrentUrl"]),
            "content": os.path.join(base, src["seedPath"]), "duration": float(duration),
            "piece": src["pieceLength"], "dubs": len(src["dubs"])}


class Cores:
    """Where the kernel puts a core of ours (core_pattern): a plain name lands in the process's
    folder, an absolute one in its folder; a pipe goes to a handler (systemd-coredump's is asked
    with coredumpctl), else only the exit status tells of the crash."""

    def __init__(self):
        try:
            with open("/proc/sys/kernel/core_pattern") as f:
                self.pattern = f.read().strip()
        except OSError:
            self.pattern = ""
        soft, hard = resource.getrlimit(resource.RLIMIT_CORE)
        try:
            resource.setrlimit(resource.RLIMIT_CORE, (hard, hard))
        except (ValueError, OSError):
            pass
        self.limit = resource.getrlimit(resource.RLIMIT_CORE)[0]

    def describe(self):
        lim = "unlimited" if self.limit == resource.RLIM_INFINITY else "%d bytes" % self.limit
        if self.limit == 0:
            return "core dumps: off (hard limit 0); crashes show by their exit status only"
        if self.pattern.startswith("|"):
            how = "coredumpctl" if shutil.which("coredumpctl") else "nothing here can read them"
            return "core dumps: limit %s, piped to %s (%s)" % (lim, self.pattern.split()[0][1:], how)
        return "core dumps: limit %s, pattern '%s'" % (lim, self.pattern)

    def find(self, rundir, pid, since):
        if self.pattern.startswith("|"):
            if not shutil.which("coredumpctl"):
                return []
            out = os.path.join(rundir, "core.%d" % pid)
            subprocess.run(["coredumpctl", "dump", str(pid), "-o", out, "--no-pager"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            return [out] if os.path.exists(out) else []
        folder = os.path.dirname(self.pattern) if self.pattern.startswith("/") else rundir
        return [p for p in glob.glob(os.path.join(folder, "core*"))
                if os.path.isfile(p) and os.path.getmtime(p) >= since - 1]


def backtrace(binary, core, out):
    """The crashing thread's stack printed, every thread's kept beside the core."""
    run = subprocess.run(["gdb", "-batch", "-nx", "-ex", "set pagination off", "-ex", "bt",
                          "-ex", "echo \\n=== all threads ===\\n", "-ex", "thread apply all bt", binary, core],
                         capture_output=True, text=True, timeout=300)
    with open(out, "w") as f:
        f.write(run.stdout + run.stderr)
    crashing = run.stdout.split("=== all threads ===")[0]
    out, seen = [], set()
    for line in crashing.splitlines():
        frame = line.split()[0] if line.startswith("#") else None
        if (frame or "signal" in line.lower()) and frame not in seen:  # gdb names frame #0 twice
            out.append(line)
            seen.add(frame)
    return out


def run_start(ctx, lab, episode, rundir, dead_first, keep_dubs):
    """One cold start of the self-test; its record."""
    args = ctx.args
    fixture = os.path.join(rundir, "fixture.json")
    sb.write_fixture(episode["fixture"], lab.ready, fixture, keep_dubs)
    if dead_first:
        sb.add_dead_source(fixture, lab.ready["tracker"], rundir)
    env = sb.program_env(lab.ready, rundir)
    out = os.path.join(rundir, "selftest.json")
    log_path = os.path.join(rundir, "program.log")
    began = time.time()
    child = sb.Child([ctx.binary, "--selftest", "--no-update", "--no-api", "--play-fixture", fixture,
                      "--selftest-out", out, "--cache-dir", os.path.join(rundir, "cache"), "--log", log_path,
                      "--observe", str(args.observe), "--pause-observe", "0", "--max-wall", str(args.max_wall)],
                     os.path.join(rundir, "selftest.stdout"), env=env, cwd=rundir)
    code = child.wait(args.max_wall + 60)
    try:
        with open(out) as f:
            res = json.load(f)
    except (OSError, ValueError):
        res = {}
    failures = list(res.get("failures", [] if res else ["no result"]))
    if code is not None and code < 0:
        name = signal.Signals(-code).name if -code in signal.Signals._value2member_map_ else str(-code)
        failures.append("killed by %s%s" % (name, " (hung: killed by the soak)" if -code == signal.SIGKILL else ""))
    elif code not in (0, 1):
        failures.append("exit code %s" % code)
    cores = ctx.cores.find(rundir, child.proc.pid, began)
    if cores:
        failures.append("core dumped")
    obs = {o.get("label"): o for o in res.get("observations", [])}
    dub = res.get("dub_switch") or {}
    r = {"ok": bool(res.get("pass")) and code == 0 and not cores, "failures": failures, "log": log_path,
         "first_frame": res.get("time_to_first_frame_s" if dead_first else "first_frame_since_source_start_s"),
         "seek": (res.get("seek50") or {}).get("resume_s"), "cores": cores,
         "dub_s": dub.get("seconds") if dub.get("ok") else None, "dub_skipped": dub.get("skipped"),
         "after_dub": obs.get("after-dub")}
    if dead_first:
        shutil.rmtree(os.path.join(rundir, "dead"), ignore_errors=True)
    shutil.rmtree(os.path.join(rundir, "cache"), ignore_errors=True)
    return r


class Row:
    def __init__(self, name, count):
        self.name, self.count = name, count
        self.scenario, self.dead_first, self.kind = ROWS[name]
        self.runs = []
        self.lab = None
        self.tool_errors = []


def episode_for(ctx, row):
    key = (row.kind, ctx.known[row.scenario]["piece_kib"])
    if key not in ctx.episodes:
        sb.log("starts: making the %s episode with %d KiB pieces" % key)
        if row.kind == "thin":
            ctx.episodes[key] = thin_episode(ctx.args.build, ctx.args.duration)
        else:
            ctx.episodes[key] = sb.ensure_episode(ctx.args, "", key[1])
    return ctx.episodes[key]


def one(ctx, row, i):
    episode = episode_for(ctx, row)
    rundir = os.path.join(ctx.work, row.name, "%03d" % (i + 1))
    os.makedirs(rundir)
    lab = row.lab
    try:
        if lab is None:
            lab = sb.Lab(ctx.args.build, row.scenario, episode["torrent"], episode["content"],
                         os.path.join(rundir, "lab"))
            if ctx.args.reuse_swarm:
                row.lab = lab
    except RuntimeError as e:
        row.tool_errors.append(str(e))
        sb.log("starts: %s" % e)
        return
    r = run_start(ctx, lab, episode, rundir, row.dead_first, row.kind == "thin")
    if not ctx.args.reuse_swarm:
        lab.stop()
    row.runs.append(r)
    sb.log("starts: %s %d/%d: %s first frame %s s, seek %s s%s (%.0f s so far)" % (
        row.name, i + 1, row.count, "ok" if r["ok"] else "FAILED", sb.fmt(r["first_frame"]), sb.fmt(r["seek"]),
        ", dub %s s" % sb.fmt(r["dub_s"]) if row.kind == "thin" else "", time.monotonic() - ctx.t0))


def print_report(ctx, rows):
    print("\nStart soak: one self-test run per start, fresh program data and cache each time, %s; seconds, "
          "p50/p95/max" % ("one lab per scenario (--reuse-swarm)" if ctx.args.reuse_swarm else "fresh seeders each start"))
    line = "%-19s | %-19s | %5s | %4s | %-20s | %-20s | %s"
    head = line % ("row", "scenario", "runs", "fail", "first frame", "seek 50% resumed", "dub switch / stall after")
    print(head)
    print("-" * len(head))
    for row in rows:
        ok = [r for r in row.runs if r["ok"]]
        dub = "-"
        if row.kind == "thin":
            after = [r["after_dub"]["stall_s"] for r in row.runs if r.get("after_dub")]
            stalls = sum(r["after_dub"]["stalls"] for r in row.runs if r.get("after_dub"))
            dub = "%s / %d stalls, longest %s" % (spread([r["dub_s"] for r in row.runs]), stalls,
                                                  sb.fmt(max(after) if after else None))
        print(line % (row.name, row.scenario + ("+dead" if row.dead_first else ""), len(row.runs),
                      len(row.runs) - len(ok), spread([r["first_frame"] for r in row.runs]),
                      spread([r["seek"] for r in row.runs]), dub))
    print("first frame: from the live source's start (dead-first: from the play request); seeks: the exact seek to 50 %"
          "\nof each run; dub: request until the new dub plays / stalls in the 6 s after (longest = their seconds in one run)")
    for row in rows:
        for what in row.tool_errors:
            print("  %s: tooling: %s" % (row.name, what))
        skipped = {r["dub_skipped"] for r in row.runs if r.get("dub_skipped") and row.kind == "thin"}
        for what in skipped:
            print("  %s: the self-test skipped the dub switch: %s" % (row.name, what))
    failed = [(row, i, r) for row in rows for i, r in enumerate(row.runs) if not r["ok"]]
    print("\nFailures: %s" % ("none" if not failed else len(failed)))
    for row, i, r in failed:
        print("  %s %d: %s  (%s)" % (row.name, i + 1, "; ".join(r["failures"]) or "no pass", r["log"]))
    cored = [(row, i, c) for row in rows for i, r in enumerate(row.runs) for c in r["cores"]]
    stray = glob.glob(os.path.join(ctx.work, "core*"))
    print("\nCore dumps: %s (%s)" % (len(cored) + len(stray) or "none", ctx.cores.describe()))
    for row, i, core in cored:
        print("  %s %d: %s" % (row.name, i + 1, core))
        try:
            frames = backtrace(ctx.binary, core, core + ".bt.txt")
        except (OSError, subprocess.SubprocessError) as e:
            print("    gdb failed: %s" % e)
            continue
        for frame in frames[:40]:
            print("    " + frame)
        print("    (every thread: %s.bt.txt)" % core)
    for core in stray:
        print("  a lab process or seeder left %s (gdb -batch -ex bt <its program> %s)" % (core, core))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("rows", nargs="*", help="rows to run (default all): " + " ".join(ROWS))
    ap.add_argument("--build", required=True)
    ap.add_argument("--starts", type=int, default=20)
    ap.add_argument("--seeks", type=int, help="runs of the slow-tcp seek row (default --starts)")
    ap.add_argument("--dubs", type=int, help="runs of the thin dub row (default --starts)")
    ap.add_argument("--reuse-swarm", action="store_true",
                    help="one lab per row for all its starts (the program's state is fresh each start all the same)")
    ap.add_argument("--observe", type=float, default=2.0, help="seconds played before the seek")
    ap.add_argument("--max-wall", type=float, default=200.0, help="the self-test's own cap per run")
    ap.add_argument("--duration", type=int, default=60, help="seconds of the generated episodes")
    ap.add_argument("--work", help="folder for the runs (default BUILD/bench-starts/DATE-TIME)")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    for n in args.rows:
        if n not in ROWS:
            sys.exit("starts: unknown row %s (known: %s)" % (n, " ".join(ROWS)))

    class Ctx:
        pass

    ctx = Ctx()
    ctx.args, ctx.t0, ctx.episodes = args, time.monotonic(), {}
    listed = subprocess.run([os.path.join(args.build, "tools/swarmlab/svd-swarmlab"), "--list"],
                            check=True, capture_output=True, text=True).stdout.splitlines()
    ctx.known = {s["name"]: s for s in map(json.loads, listed)}
    names = args.rows or list(ROWS)
    missing = sorted({ROWS[n][0] for n in names} - set(ctx.known))
    if missing:
        sys.exit("starts: the lab has no scenario %s (a stale build/tools/swarmlab/scenarios.txt?)" % ", ".join(missing))
    ctx.work = os.path.abspath(args.work or os.path.join(args.build, "bench-starts", time.strftime("%Y%m%d-%H%M%S")))
    os.makedirs(ctx.work)
    # The soak runs one copy of the program throughout: a rebuild meanwhile changes nothing, and a
    # core is read with the very binary that wrote it.
    ctx.binary = os.path.join(ctx.work, "sorvanta-desktop")
    shutil.copy2(os.path.join(args.build, "app/sorvanta-desktop"), ctx.binary)
    ctx.cores = Cores()
    os.chdir(ctx.work)  # a lab process's or seeder's core lands here
    print("starts: runs in %s; %s; load average %s" % (ctx.work, ctx.cores.describe(),
                                                       " ".join("%.2f" % x for x in os.getloadavg())), flush=True)

    rows = [Row(n, getattr(args, SOAKS[n]) if n in SOAKS and getattr(args, SOAKS[n]) is not None else args.starts)
            for n in names]
    try:
        if args.reuse_swarm:
            for row in rows:
                for i in range(row.count):
                    one(ctx, row, i)
                if row.lab:
                    row.lab.stop()
                    row.lab = None
        else:
            # Round by round, so that whatever else the machine does meanwhile falls on every row alike.
            for i in range(max(row.count for row in rows)):
                for row in rows:
                    if i < row.count:
                        one(ctx, row, i)
    except KeyboardInterrupt:
        sb.log("starts: interrupted; the figures so far")
    for key, ep in ctx.episodes.items():
        _, piece, files = sb.release_media.torrent_files(ep["torrent"])
        total = sum(size for _, _, size in files)
        print("%s episode: torrent of %.1f MiB in %d pieces of %d KiB" % (key[0], total / sb.MIB, -(-total // piece),
                                                                       piece // 1024))
    print_report(ctx, rows)
    print("\nstarts: %.0f s in all; load average now %s; runs in %s" % (
        time.monotonic() - ctx.t0, " ".join("%.2f" % x for x in os.getloadavg()), ctx.work))
    sys.exit(2 if any(row.tool_errors for row in rows) else 0)


if __name__ == "__main__":
    main()
