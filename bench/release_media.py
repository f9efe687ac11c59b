"""Release files for the swarm bench's `media=` scenarios (tools/swarmlab/scenarios.txt): the
kinds of files fansub groups share, made with ffmpeg from test sources, each with its .torrent
(mktorrent) and a fixture the self-test plays. Cached under BUILD/bench-swarm/release: the
first run encodes (a minute or two), later runs reuse what is there.

Every clip is 854x480 at 24 fps with a keyframe every 250 frames (x264's and x265's default,
about 10 s: a keyframe seek to 50 % lands well before its target, as with real encodes).
"""
import glob
import hashlib
import json
import os
import shutil
import subprocess

VERSION = 1  # bump when the media change, so cached files are made again
GOP = 250
FONT_BYTES = 10 * 1000 * 1000
PACK_EPISODES = 12
PACK_PLAY = 7
SHOW = "Lab Show"
GROUP = "[LabSubs]"
TRACKER = "http://127.0.0.1:9/announce"  # the lab's copy of the torrent names its own

# kind -> (file name suffix, what it holds)
KINDS = {
    "mkv-h264": (" [480p H264 AAC].mkv", "MKV H.264 + AAC + ASS"),
    "hevc-fonts": (" [480p HEVC 10bit].mkv", "MKV HEVC 10-bit + AAC + ASS, 10 MB of fonts in the head"),
    "mp4-faststart": (" [480p faststart].mp4", "MP4 H.264 + AAC, moov first"),
    "mp4-moov-end": (" [480p].mp4", "MP4 H.264 + AAC, moov at the end"),
    "webm-vp9": (" [480p VP9 Opus].webm", "WebM VP9 + Opus"),
    "avi-xvid": (" [480p XviD MP3].avi", "AVI XviD + MP3, index at the end"),
    "season-pack": (" [480p H264 AAC].mkv", "12 MKVs (H.264) in one torrent, episode 7 played"),
    "mkv-h264-1g": (" [480p H264 AAC].mkv", "MKV H.264 + AAC + ASS, mkv-h264 looped to 1 GiB"),
}
# kind -> (the kind whose streams it repeats, bytes): an episode's size and piece count at the same
# bitrate and keyframe interval as the small file, so a row on it differs from the small one's
# in scale alone. Looped with stream copy: encoding two hours of clip would take an hour here.
LONG = {"mkv-h264-1g": ("mkv-h264", 1 << 30)}


def _ffmpeg(args):
    subprocess.run(["ffmpeg", "-nostdin", "-y", "-hide_banner", "-loglevel", "error"] + args, check=True)


def _inputs(duration, tone=440):
    return ["-f", "lavfi", "-i", "testsrc2=size=854x480:rate=24:duration=%d" % duration,
            "-f", "lavfi", "-i", "sine=frequency=%d:sample_rate=48000:duration=%d" % (tone, duration)]


def _ass(path, episode, duration, fonts=("DejaVu Sans", "DejaVu Serif")):
    lines = ["[Script Info]", "ScriptType: v4.00+", "PlayResX: 854", "PlayResY: 480", "",
             "[V4+ Styles]",
             "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, "
             "Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, "
             "Shadow, Alignment, MarginL, MarginR, MarginV, Encoding",
             "Style: Default,%s,28,&H00FFFFFF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,2,0,2,"
             "10,10,20,1" % fonts[0],
             "Style: Sign,%s,24,&H0000FFFF,&H000000FF,&H00000000,&H00000000,1,0,0,0,100,100,0,0,1,2,0,8,"
             "10,10,20,1" % fonts[1], "",
             "[Events]", "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text"]
    for t in range(0, duration - 3, 4):
        style = "Sign" if t % 12 == 0 else "Default"
        lines.append("Dialogue: 0,%s,%s,%s,,0,0,0,,Episode %d, line %d"
                     % (_ass_time(t), _ass_time(t + 3), style, episode, t // 4 + 1))
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def _ass_time(t):
    return "%d:%02d:%02d.00" % (t // 3600, t // 60 % 60, t % 60)


def _fonts():
    """About FONT_BYTES of the machine's fonts (fonts-dejavu), cycled when there are fewer."""
    found = sorted(p for ext in ("ttf", "otf") for p in glob.glob("/usr/share/fonts/**/*." + ext, recursive=True))
    if not found:
        raise RuntimeError("no fonts under /usr/share/fonts (tools/setup.sh installs fonts-dejavu-core)")
    out, total, i = [], 0, 0
    while total < FONT_BYTES:
        path = found[i % len(found)]
        name = os.path.basename(path) if i < len(found) else "%d-%s" % (i // len(found), os.path.basename(path))
        out.append((path, name))
        total += os.path.getsize(path)
        i += 1
    return out


def _base_h264(media, duration):
    """H.264 + AAC, encoded once for the MKV, both MP4s and the season pack."""
    path = os.path.join(media, "base-h264.mkv")
    if not os.path.exists(path):
        _ffmpeg(_inputs(duration) + ["-map", "0:v", "-map", "1:a", "-c:v", "libx264", "-preset", "veryfast",
                                     "-b:v", "900k", "-g", str(GOP), "-pix_fmt", "yuv420p",
                                     "-c:a", "aac", "-b:a", "128k", "-ac", "2", path + ".part.mkv"])
        os.rename(path + ".part.mkv", path)
    return path


def _make_file(kind, media, out, duration):
    """Writes the release file of `kind` to `out`."""
    ass = os.path.join(media, "subs-1.ass")
    _ass(ass, 1, duration)
    tmp = out + ".part" + os.path.splitext(out)[1]
    if kind in ("mkv-h264", "mp4-faststart", "mp4-moov-end"):
        base = _base_h264(media, duration)
        if kind == "mkv-h264":
            args = ["-i", base, "-i", ass, "-map", "0", "-map", "1", "-c", "copy"]
        else:
            fast = ["-movflags", "+faststart"] if kind == "mp4-faststart" else []
            args = ["-i", base, "-map", "0", "-c", "copy"] + fast
    elif kind == "hevc-fonts":
        fonts = _fonts()
        args = _inputs(duration) + ["-i", ass, "-map", "0:v", "-map", "1:a", "-map", "2",
                                    "-c:v", "libx265", "-preset", "ultrafast", "-pix_fmt", "yuv420p10le",
                                    "-b:v", "700k", "-x265-params", "keyint=%d:scenecut=0:log-level=error" % GOP,
                                    "-c:a", "aac", "-b:a", "128k", "-ac", "2", "-c:s", "copy"]
        for n, (path, name) in enumerate(fonts):
            args += ["-attach", path, "-metadata:s:t:%d" % n, "mimetype=application/x-truetype-font",
                     "-metadata:s:t:%d" % n, "filename=" + name]
    elif kind == "webm-vp9":
        args = _inputs(duration) + ["-map", "0:v", "-map", "1:a", "-c:v", "libvpx-vp9", "-deadline", "realtime",
                                    "-cpu-used", "8", "-row-mt", "1", "-b:v", "900k", "-g", str(GOP),
                                    "-c:a", "libopus", "-b:a", "96k", "-ac", "2"]
    elif kind == "avi-xvid":
        args = _inputs(duration) + ["-map", "0:v", "-map", "1:a", "-c:v", "mpeg4", "-vtag", "XVID",
                                    "-b:v", "900k", "-g", str(GOP), "-c:a", "libmp3lame", "-b:a", "128k", "-ac", "2"]
    else:
        raise ValueError(kind)
    _ffmpeg(args + [tmp])
    os.rename(tmp, out)


def _make_long(kind, media, out, duration):
    """The small kind's streams repeated up to LONG's size, with subtitles over all of it."""
    size = LONG[kind][1]
    base = _base_h264(media, duration)
    loops = max(1, round(size / os.path.getsize(base)))
    ass = os.path.join(media, "subs-1-x%d.ass" % loops)
    _ass(ass, 1, loops * duration)
    tmp = out + ".part" + os.path.splitext(out)[1]
    _ffmpeg(["-stream_loop", str(loops - 1), "-i", base, "-i", ass, "-map", "0", "-map", "1", "-c", "copy",
             "-t", str(loops * duration), tmp])
    os.rename(tmp, out)


def _duration(video):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", video],
                         check=True, capture_output=True, text=True).stdout
    return float(out.strip())


def _make_pack(media, folder, duration):
    """Twelve episodes: the same H.264 + AAC streams, each with its own subtitles and title."""
    base = _base_h264(media, duration)
    os.makedirs(folder)
    for ep in range(1, PACK_EPISODES + 1):
        ass = os.path.join(media, "subs-%d.ass" % ep)
        _ass(ass, ep, duration)
        name = "%s %s - %02d%s" % (GROUP, SHOW, ep, KINDS["season-pack"][0])
        _ffmpeg(["-i", base, "-i", ass, "-map", "0", "-map", "1", "-c", "copy",
                 "-metadata", "title=%s - %02d" % (SHOW, ep), os.path.join(folder, name)])


def bdecode(data, i=0, spans=None):
    """Decodes bencoded `data` from `i`: (value, end). `spans` collects each dict key's byte span."""
    c = data[i:i + 1]
    if c == b"i":
        end = data.index(b"e", i)
        return int(data[i + 1:end]), end + 1
    if c == b"l":
        out, i = [], i + 1
        while data[i:i + 1] != b"e":
            v, i = bdecode(data, i, spans)
            out.append(v)
        return out, i + 1
    if c == b"d":
        out, i = {}, i + 1
        while data[i:i + 1] != b"e":
            k, i = bdecode(data, i, spans)
            start = i
            out[k], i = bdecode(data, i, spans)
            if spans is not None:
                spans.setdefault(k, (start, i))
        return out, i + 1
    colon = data.index(b":", i)
    n = int(data[i:colon])
    return data[colon + 1:colon + 1 + n], colon + 1 + n


def torrent_files(path):
    """(info-hash, piece length, [(path inside the torrent, offset, size)]) of a v1 .torrent."""
    with open(path, "rb") as f:
        data = f.read()
    spans = {}
    meta, _ = bdecode(data, 0, spans)
    a, b = spans[b"info"]
    info = meta[b"info"]
    name = info[b"name"].decode()
    if b"files" not in info:
        return hashlib.sha1(data[a:b]).hexdigest(), info[b"piece length"], [(name, 0, info[b"length"])]
    files, offset = [], 0
    for f in info[b"files"]:
        files.append(("/".join([name] + [p.decode() for p in f[b"path"]]), offset, f[b"length"]))
        offset += f[b"length"]
    return hashlib.sha1(data[a:b]).hexdigest(), info[b"piece length"], files


def _fixture(path, kind, torrent, info_hash, piece, files, episodes):
    """The self-test's fixture: one episode per (number, file index)."""
    total = sum(size for _, _, size in files)
    subs = [] if kind.startswith(("mp4", "webm", "avi")) else [
        {"label": "English", "lang": "eng", "origin": "embedded", "trackNo": 1, "fileIndex": -1,
         "isDefault": True, "isForced": False}]
    doc = {"animeId": 900100, "fixture": {"title": "%s (%s)" % (SHOW, kind)}, "episodes": []}
    for number, index in episodes:
        doc["episodes"].append({"animeId": 900100, "episode": number, "title": SHOW, "blocked": False, "sources": [{
            "id": kind, "provider": "release-media", "label": "%s %s" % (GROUP, kind), "quality": "480p",
            "codec": kind, "fileSize": files[index][2], "seeders": 1, "pieceLength": piece, "infoHash": info_hash,
            "torrentUrl": torrent, "fileIndex": index, "filePath": files[index][0], "score": 1.0,
            "dubs": [{"id": "original", "label": "Original", "lang": "jpn", "kind": "original", "origin": "embedded",
                      "trackNo": 1, "isDefault": True, "audioFileIndex": -1}],
            "subtitles": subs, "releaseGroup": GROUP.strip("[]"), "totalSize": total}]})
    with open(path, "w") as f:
        json.dump(doc, f, indent=1)


def ensure_release(build, kind, piece_kib, duration):
    """The release file of `kind` with its torrent and fixture, made once and then reused.
    Returns the bench's episode record (see swarm_bench.ensure_episode) plus the file's place
    in the torrent, the episode to play and, for the pack, the next episode's file."""
    if kind not in KINDS:
        raise RuntimeError("unknown media kind %s (known: %s)" % (kind, ", ".join(KINDS)))
    root = os.path.join(build, "bench-swarm", "release", "v%d-%ds" % (VERSION, duration))
    media = os.path.join(root, "media")
    out = os.path.join(root, "%s-%dk" % (kind, piece_kib))
    torrent = os.path.join(out, kind + ".torrent")
    fixture = os.path.join(out, "fixture.json")
    content = os.path.join(out, "content")
    if not os.path.exists(os.path.join(out, ".done")):
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(content)
        os.makedirs(media, exist_ok=True)
        if kind == "season-pack":
            target = os.path.join(content, "%s %s (01-%02d) [480p]" % (GROUP, SHOW, PACK_EPISODES))
            _make_pack(media, target, duration)
        else:
            target = os.path.join(content, "%s %s - 01%s" % (GROUP, SHOW, KINDS[kind][0]))
            (_make_long if kind in LONG else _make_file)(kind, media, target, duration)
        subprocess.run(["mktorrent", "-d", "-l", str(piece_kib.bit_length() + 9), "-a", TRACKER, "-o", torrent,
                        target], check=True, stdout=subprocess.DEVNULL)
        info_hash, piece, files = torrent_files(torrent)
        episodes = [(n, n - 1) for n in range(1, len(files) + 1)]
        _fixture(fixture, kind, torrent, info_hash, piece, files, episodes)
        open(os.path.join(out, ".done"), "w").close()
    info_hash, piece, files = torrent_files(torrent)
    play = PACK_PLAY if kind == "season-pack" else 1
    path, offset, size = files[play - 1]
    rec = {"fixture": fixture, "torrent": torrent, "content": content, "video": os.path.join(content, path),
           "size": size, "piece": piece, "kind": kind, "about": KINDS[kind][1],
           "offset": offset, "index": play - 1, "episode": play if len(files) > 1 else None}
    rec["duration"] = _duration(rec["video"]) if kind in LONG else float(duration)
    if kind in LONG:
        rec["small"] = LONG[kind][0]
    if len(files) > play:
        rec["next"] = files[play][1:]  # (offset, size) of the episode prepared after it
    return rec
