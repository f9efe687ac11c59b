"""The swarm bench's report (bench/swarm_bench.py): one row of figures per scenario from its run
records, the tables, and the goal checks, which print yes/NO and assert nothing."""
import statistics

MIB = 1048576.0
GIB = 1073741824.0
# A file at an episode's scale against its small kind (release_media.LONG): the same swarm and
# streams should give the same start, seek and memory, within these.
SCALE_SECONDS = 0.2
SCALE_RSS = 0.10


def fmt(v, spec="%.2f"):
    return "-" if v is None else spec % v


def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def unplayed(r, size):
    if r.get("played") is None or not r.get("relayed"):
        return None
    return max(0.0, r["relayed"] - r["played"] * size)


def summarize(name, runs, episode):
    """One row's figures (medians over the runs) from the run records of a scenario."""
    def m(side, key):
        return med([run[side].get(key) for run in runs if run.get(side)])

    size = episode["size"]
    row = {"scenario": name}
    for side in ("ours", "pf"):
        a, b = side + "A", side + "B"
        row[side] = {"ff": m(a, "first_frame"), "seek": m(a, "seek"), "stalls": m(b, "stalls"),
                     "stall_s": m(b, "stall_s"),
                     "unplayed": med([unplayed(run[b], size) for run in runs if run.get(b)]),
                     "cpu_gib": med([run[b]["cpu"] / (run[b]["relayed"] / GIB)
                                     for run in runs if run.get(b) and run[b].get("cpu") and run[b].get("relayed")]),
                     "rss": m(b, "rss")}
    row["floor_ff"] = med([run.get("floor_ff") for run in runs])
    row["wire_ff"] = m("wire", "first_frame")
    row["floor_seek"] = med([run.get("floor_seek") for run in runs])
    row["floor_ff_pieces"] = med([run.get("floor_ff_pieces") for run in runs])
    row["episode"], row["size"] = episode, size
    row["outside"] = [m(side, "outside") for side in ("oursA", "oursB")]
    row["notes"] = sorted({n for run in runs for n in run.get("notes", [])})
    # Our first-frame runs one by one, for a file at scale against its small kind.
    row["first_runs"] = {key: [run["oursA"][key] for run in runs if run.get("oursA") and run["oursA"].get(key)]
                         for key in ("first_frame", "seek", "rss", "downloaded")}
    return row


def print_table(title, rows):
    w = max([11] + [len(row["scenario"]) for row in rows])
    line = "%-" + str(w) + "s | %-25s | %-20s | %-19s | %-24s | %-9s | %s"
    print("\n" + title)
    head = (line %
            ("scenario", "first frame s", "seek 50% resumed s", "stalls (s)", "MiB never played (%file)",
             "CPU s/GiB", "peak RSS MiB"))
    print(head)
    print(line %
          ("", "ours/peerflix/floor/wire", "ours/peerflix/floor", "ours/peerflix", "ours/peerflix",
           "ours/pf", "ours/pf"))
    print("-" * len(head))
    for row in rows:
        o, p = row["ours"], row["pf"]

        def stall(x):
            return "-" if x["stalls"] is None else "%d (%.1f)" % (x["stalls"], x["stall_s"] or 0)

        def waste(x):
            return "-" if x["unplayed"] is None else "%.1f (%.0f%%)" % (x["unplayed"] / MIB,
                                                                      100 * x["unplayed"] / row["size"])

        print(line % (
            row["scenario"],
            "%s/%s/%s/%s" % (fmt(o["ff"]), fmt(p["ff"]), fmt(row["floor_ff"]), fmt(row["wire_ff"])),
            "%s/%s/%s" % (fmt(o["seek"]), fmt(p["seek"]), fmt(row["floor_seek"])),
            "%s / %s" % (stall(o), stall(p)),
            "%s / %s" % (waste(o), waste(p)),
            "%s/%s" % (fmt(o["cpu_gib"], "%.0f"), fmt(p["cpu_gib"], "%.0f")),
            "%s/%s" % (fmt(o["rss"], "%.0f"), fmt(p["rss"], "%.0f"))))
    release_table([row for row in rows if row["episode"].get("kind")])
    for row in rows:
        for note in row["notes"]:
            print("  %s: %s" % (row["scenario"], note))


def release_table(rows):
    """The release files' own figures: what the first frame needs, and for a season pack the
    pieces held at the end outside the episode played and the one prepared after it."""
    if not rows:
        return
    w = max(len(row["scenario"]) for row in rows)
    about = max(len(row["episode"]["about"]) for row in rows)
    line = "%-" + str(w) + "s | %-" + str(about) + "s | %-6s | %-28s | %-17s | %s"
    print()
    print(line % ("release", "file", "MiB", "read before 1st frame", "floor s bytes/pcs", "pieces outside"))
    print(line % ("", "", "", "MiB (pieces, where)", "", "ep+next, ours A/B"))
    for row in rows:
        ep = row["episode"]
        outside = "-" if not ep.get("next") else "%s/%s" % tuple(fmt(v, "%d") for v in row["outside"])
        print(line % (row["scenario"], ep["about"], "%.1f" % (ep["size"] / MIB),
                      "%.2f (%d, %s)" % (ep["read_bytes"] / MIB, ep["startup_pieces"], ep["read_where"]),
                      "%s/%s" % (fmt(row["floor_ff"]), fmt(row["floor_ff_pieces"])), outside))


def goal_checks(rows):
    print("\nGoals (ours; yes/NO, n/a when a figure is missing):")

    def check(ok):
        return "n/a" if ok is None else ("yes" if ok else "NO")

    for row in rows:
        o, p = row["ours"], row["pf"]
        items = []
        if o["ff"] is not None and p["ff"]:
            items.append("first frame %.2fx peerflix (<= 0.7x: %s)" % (o["ff"] / p["ff"], check(o["ff"] <= 0.7 * p["ff"])))
        if o["ff"] is not None:
            lim = 1.5 * row["floor_ff"] + 0.3
            items.append("first frame <= 1.5x floor + 0.3 = %.2f: %s" % (lim, check(o["ff"] <= lim)))
        if o["ff"] is not None and row["wire_ff"]:
            items.append("first frame %.2fx the measured floor" % (o["ff"] / row["wire_ff"]))
        if o["seek"] is not None:
            lim = 1.5 * row["floor_seek"] + 0.3
            items.append("seek <= %.2f: %s" % (lim, check(o["seek"] <= lim)))
        if o["unplayed"] is not None:
            items.append("never played <= 10%%: %s" % check(o["unplayed"] <= 0.1 * row["size"]))
        if row["scenario"] == "crowd" and o["stalls"] is not None:
            items.append("no stall: %s" % check(o["stalls"] == 0))
        if row["scenario"] == "dying" and o["stalls"] is not None:
            items.append("at most one stall: %s" % check(o["stalls"] <= 1))
        items += release_goals(row)
        print("  %-13s %s" % (row["scenario"], "; ".join(items) or "no figures"))
    by = {r["scenario"]: r for r in rows}
    scale_goals(rows)
    if "tcp-only" in by and "ideal" in by and by["tcp-only"]["ours"]["ff"] is not None and by["ideal"]["ours"]["ff"] is not None:
        extra = by["tcp-only"]["ours"]["ff"] - by["ideal"]["ours"]["ff"]
        print("  TCP-only peer (aria2) costs %+.2f s over the uTP-capable ideal swarm (<= 0.3 s: %s)" % (extra, check(extra <= 0.3)))
    if "tcp-only-lt" in by and "ideal" in by and by["tcp-only-lt"]["ours"]["ff"] is not None and by["ideal"]["ours"]["ff"] is not None:
        extra = by["tcp-only-lt"]["ours"]["ff"] - by["ideal"]["ours"]["ff"]
        print("  TCP-only peer (libtorrent) costs %+.2f s over the uTP-capable ideal swarm (<= 0.3 s: %s)" % (extra, check(extra <= 0.3)))
    if "utp-only" in by and "ideal" in by and by["utp-only"]["ours"]["ff"] is not None and by["ideal"]["ours"]["ff"] is not None:
        extra = by["utp-only"]["ours"]["ff"] - by["ideal"]["ours"]["ff"]
        print("  uTP-only peer (libtorrent) costs %+.2f s over the ideal swarm, whose peers speak both (<= 0.3 s: %s)" % (extra, check(extra <= 0.3)))


def release_goals(row):
    """A release file starts no later than peerflix; fonts in the head within 1.2x their floor;
    a season pack fetches at most two pieces beyond the episode played and the next one."""
    o, p, kind = row["ours"], row["pf"], row["episode"].get("kind")
    items = []
    if kind and o["ff"] is not None and p["ff"]:
        items.append("first frame <= peerflix: %s" % ("yes" if o["ff"] <= p["ff"] else "NO"))
    if kind == "hevc-fonts" and o["ff"] is not None:
        items.append("first frame <= 1.2x floor = %.2f: %s" % (1.2 * row["floor_ff"],
                                                                "yes" if o["ff"] <= 1.2 * row["floor_ff"] else "NO"))
    outside = [v for v in row["outside"] if v is not None]
    if row["episode"].get("next") and outside:
        items.append("pieces outside the episode and the next <= 2: %s" % ("yes" if max(outside) <= 2 else "NO"))
    return items



def scale_pairs(rows):
    """(row at scale, the row of its small kind with the same piece size, or None)."""
    small = {(row["episode"].get("kind"), row["episode"]["piece"]): row for row in rows}
    return [(row, small.get((row["episode"]["small"], row["episode"]["piece"])))
            for row in rows if row["episode"].get("small")]


def scale_table(rows):
    """Each file at an episode's scale above its small kind: our first-frame runs' first frame, seek
    and peak RSS (the program's own, as wait4 reports it: VmHWM at its exit), median / max, and the
    MiB it downloaded: its memory grows with them, and a small file runs out of bytes."""
    pairs = scale_pairs(rows)
    if not pairs:
        return
    w = max(len(row["scenario"]) for pair in pairs for row in pair if row)
    line = "%-" + str(w) + "s | %8s | %6s | %-13s | %-13s | %-12s | %s"
    print("\nAt scale: ours, first-frame runs, median / max")
    print(line % ("release", "file MiB", "pieces", "first frame s", "seek 50% s", "peak RSS MiB", "MiB downloaded"))
    for big, small in pairs:
        for row in filter(None, (big, small)):
            runs, ep = row["first_runs"], row["episode"]

            def mm(key, spec="%.2f"):
                return "%s / %s" % (fmt(med(runs[key]), spec), fmt(max(runs[key], default=None), spec))

            print(line % (row["scenario"], "%.1f" % (ep["size"] / MIB), -(-ep["size"] // ep["piece"]),
                          mm("first_frame"), mm("seek"), mm("rss", "%.0f"), mm("downloaded", "%.1f")))
        if small is None:
            print("  %s: run a scenario of %s beside it to compare" % (big["scenario"], big["episode"]["small"]))


def scale_goals(rows):
    """A file at scale starts, seeks and holds memory as its small kind does (medians)."""
    for big, small in scale_pairs(rows):
        if small is None:
            continue
        b, s = ({k: med(v) for k, v in row["first_runs"].items()} for row in (big, small))
        items = []
        for key, label in (("first_frame", "first frame"), ("seek", "seek")):
            if b[key] is not None and s[key] is not None:
                extra = b[key] - s[key]
                items.append("%s %+.2f s (<= %.1f s: %s)" % (label, extra, SCALE_SECONDS,
                                                             "yes" if extra <= SCALE_SECONDS else "NO"))
        if b["rss"] and s["rss"]:
            extra = b["rss"] / s["rss"] - 1
            items.append("peak RSS %+.0f%% (<= %.0f%%: %s)" % (100 * extra, 100 * SCALE_RSS,
                                                                "yes" if extra <= SCALE_RSS else "NO"))
        print("  %s against %s: %s" % (big["scenario"], small["scenario"], "; ".join(items) or "no figures"))
