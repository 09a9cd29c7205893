# Export of a range to Matroska and MP4: every case against varnel-recorder, with ffprobe and
# the ffmpeg program as the oracle for what a player will see. The records are the binding's
# (python/varnel/_lib.py), the summary and the progress callback the export's own.
import ctypes as C
import datetime
import json
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, ".."), os.path.join(HERE, "..", "..", "python", "varnel")]
import _lib  # noqa: E402
import driver as e  # noqa: E402
from driver import Cases, Recorder, expect  # noqa: E402

cases = Cases()
DONE, CANCELLED, CANNOT_WRITE, FAILED, NOTHING = range(5)


class Summary(C.Structure):
    _fields_ = [(n, C.c_int64) for n in ("pictures", "soundBlocks", "firstFrameTime",
                                         "lastFrameTime", "duration", "bytes")] + \
               [("files", C.c_int32), ("reserved", C.c_int32)]


PROGRESS = C.CFUNCTYPE(C.c_bool, C.c_int64, C.c_int64, C.c_void_p)
assert C.sizeof(_lib.StreamSetting) == 2168 and C.sizeof(Summary) == 56


def load_sanitized(lib):
    # A library built with a sanitizer loads into Python only behind the sanitizer's runtime:
    # the driver starts again with it preloaded (and without leak checks, which would report
    # Python's own), and keeps both from the programs it starts.
    if "VARNEL_EXPORT_ASAN_OPTIONS" in os.environ:
        os.environ.pop("LD_PRELOAD")
        os.environ["ASAN_OPTIONS"] = os.environ.pop("VARNEL_EXPORT_ASAN_OPTIONS")
        return
    m = re.search(r"lib[at]san\.so\S* => (\S+)",
                  subprocess.run(["ldd", lib], capture_output=True, text=True).stdout)
    if m:
        asan = os.environ.get("ASAN_OPTIONS", "")
        os.execve(sys.executable, [sys.executable] + sys.argv,
                  dict(os.environ, LD_PRELOAD=m.group(1), VARNEL_EXPORT_ASAN_OPTIONS=asan,
                       ASAN_OPTIONS="detect_leaks=0:" + asan))


class Ctx:
    def __init__(self, args):
        load_sanitized(args.lib)
        self.args = args
        self.work = e.temp_dir()
        self.lib = C.CDLL(args.lib)
        self.lib.varnel_export.restype = C.c_int32

    def recorder(self, *extra):
        return Recorder(self.args.recorder, self.args.samples, self.work, *extra)

    def export(self, rec, key, begin, end, name, stop_at=None):
        # (outcome, summary, progress calls); stop_at: the fraction of the range at which the
        # progress callback cancels.
        s = _lib.StreamSetting(IP=b"127.0.0.1", Port=rec.port, Key=key, Orientation=1,
                               BeginTime=_lib.StreamSettingTime(2024, 1, 1, *begin),
                               EndTime=_lib.StreamSettingTime(2024, 1, 1, *end))
        t0, t1 = e.frame_time(2024, 1, 1, *begin), e.frame_time(2024, 1, 1, *end)
        calls, summary = [], Summary()

        def progress(t, size, _):
            calls.append((t, size))
            return stop_at is None or (t - t0) < stop_at * (t1 - t0)
        out = self.lib.varnel_export(C.byref(s), os.path.join(self.work, name).encode(),
                                     PROGRESS(progress), None, C.byref(summary))
        return out, summary, calls

    def files(self):
        return sorted(f for f in os.listdir(self.work) if not f.startswith("recorder-"))


def sent(rec, endpoint, key, begin, end):
    # The pictures and the sound the recorder sends for the range, fetched without the
    # library (the key frame after it left out).
    q = e.query(key=0, begin=(2024, 1, 1, *begin), end=(2024, 1, 1, *end))
    q = q.replace("PlayBack1", endpoint).replace("?Key=0", "?Key=%s" % key)
    limit = e.frame_time(2024, 1, 1, *end)
    recs = [r for r in e.fetch(rec.port, q) if r.kind in (1, 2) and r.frame_time <= limit]
    return [r for r in recs if r.kind == 1], [r for r in recs if r.kind == 2]


def probe(path, *what):
    return json.loads(subprocess.run(["ffprobe", "-v", "error", "-of", "json", *what, path],
                                     check=True, capture_output=True, text=True).stdout)


def pts(path, stream):
    return [float(p["pts_time"]) for p in probe(path, "-select_streams", stream, "-show_entries",
                                                "packet=pts_time")["packets"]]


def decode(*argv):
    # The decoded pictures' MD5s, and what the decoder complained of.
    res = subprocess.run(["ffmpeg", "-v", "error", *argv, "-map", "0:v", "-f", "framemd5", "-"],
                         check=True, capture_output=True, text=True)
    return [line.split(",")[-1].strip() for line in res.stdout.splitlines()
            if not line.startswith("#")], res.stderr


def check_file(ctx, path, pictures, sound, codec, channel):
    # The file against the records it was made from: codecs, track titles, the creation time,
    # the duration, every picture's time stamp, the decoded pictures, a clean decode, and the
    # sound's samples and their times.
    t0 = pictures[0].frame_time
    info = probe(path, "-show_streams", "-show_format")
    kinds = [(s["codec_type"], s["codec_name"]) for s in info["streams"]]
    expect(kinds == [("video", codec)] + ([("audio", "pcm_mulaw")] if sound else []),
           "%s: tracks %s" % (path, kinds))
    expect(all(s["tags"].get("title", s["tags"].get("handler_name")) == "channel %d" % channel
               for s in info["streams"]), "%s: titles %s" % (path, info["streams"]))
    first = (datetime.datetime(1, 1, 1) + datetime.timedelta(microseconds=t0 // 10)).isoformat()
    created = info["format"]["tags"]["creation_time"]
    expect(created.startswith(first[:19]), "%s: creation time %s, not %s" % (path, created, first))
    end = (pictures[-1].frame_time - t0) / 1e7 + pictures[-1].duration / 1000
    expect(abs(float(info["format"]["duration"]) - end) <= 0.0015,
           "%s: duration %s, pictures end at %.3f" % (path, info["format"]["duration"], end))
    want = [round((r.frame_time - t0) / 1e4) / 1e3 for r in pictures]
    got = pts(path, "v")
    expect(len(got) == len(want) and max(abs(a - b) for a, b in zip(got, want)) < 0.0005,
           "%s: %d picture times, %d sent" % (path, len(got), len(want)))
    raw = os.path.join(ctx.work, "sent.%s" % codec)
    with open(raw, "wb") as f:
        f.write(b"".join(r.payload for r in pictures))
    direct, mine = decode("-f", codec, "-i", raw)[0], decode("-i", path)
    expect(mine[0] == direct and len(direct) == len(pictures),
           "%s: pictures decode as the access units do" % path)
    expect(mine[1] == "", "%s: decode errors %r" % (path, mine[1][:300]))
    if sound:
        blocks = [r for r in sound if r.frame_time >= t0]
        samples = len(subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:a", "-f",
                                      "u8", "-acodec", "pcm_u8", "-"], check=True,
                                     capture_output=True).stdout)
        total = sum(len(r.payload) for r in blocks)
        expect(abs(samples - total) <= 320, "%s: %d samples, %d sent" % (path, samples, total))
        skew = max(abs(a - (r.frame_time - t0) / 1e7) for a, r in zip(pts(path, "a"), blocks))
        expect(skew <= 0.040, "%s: sound off the pictures by %.3f s" % (path, skew))


# Exported ranges, byte-exact: (channel, begin, end, file name, the codecs of its files in order
# of time). Channel 1 with its sound in Matroska; channel 2, H.265, in MP4, where the sound the
# recorder sends is left out; channel 6 with 40 s with nothing recorded after its first 10 s,
# kept as 40 s in the file; channel 5 going from H.264 to H.265 at 10 s: two files, each
# starting at 0.
EXACT = {"exact_mkv_sound": (1, (0, 0, 2), (0, 0, 7), "clip.mkv", ["h264"], True),
         "exact_mp4_hevc": (2, (0, 0, 0), (0, 0, 20), "clip.mp4", ["hevc"], False),
         "exact_mp4_hole": (6, (0, 0, 5), (0, 1, 0), "clip.MP4", ["h264"], False),
         "codec_change": (5, (0, 0, 0), (0, 0, 20), "clip.mkv", ["h264", "hevc"], False)}


def exact(ctx, key, begin, end, name, codecs, sound):
    with ctx.recorder() as rec:
        pictures, blocks = sent(rec, "PlayBack1", key, begin, end)
        out, summary, calls = ctx.export(rec, key, begin, end, name)
    names = [name] + ["clip-2.mkv"][:len(codecs) - 1]
    expect(out == DONE and ctx.files() == sorted(names), "outcome %d, %s" % (out, ctx.files()))
    expect(summary.pictures == len(pictures) and summary.files == len(names), "summary")
    expect(calls and calls[-1][1] <= summary.bytes, "progress: %s" % calls[-3:])
    for file, codec in zip(names, codecs):
        check_file(ctx, os.path.join(ctx.work, file), [r for r in pictures if r.codec == codec],
                   blocks if sound else None, codec, key)


for case, row in EXACT.items():
    run = lambda ctx, row=row: exact(ctx, *row)  # noqa: E731
    run.__name__ = case
    cases(run)


@cases
def channels_cli(ctx):
    # varnel-play --export --channels: one file a channel, each as exact as a single one.
    with ctx.recorder() as rec:
        res = subprocess.run([ctx.args.play, "--port", str(rec.port), "--channels", "1,3",
                              "--begin", "2024/01/01 00:00:04", "--length", "4",
                              "--export", os.path.join(ctx.work, "cams.mkv")],
                             capture_output=True, text=True, timeout=120)
        pictures, blocks = sent(rec, "PlayBack1_All", "1.3", (0, 0, 4), (0, 0, 8))
    expect(res.returncode == 0, "exit %d: %s" % (res.returncode, res.stderr))
    expect(ctx.files() == ["cams-ch1.mkv", "cams-ch3.mkv"], "files %s" % ctx.files())
    expect(("exported %d pictures" % len(pictures)) in res.stdout and "2 files" in res.stdout,
           "summary %r" % res.stdout)
    for channel in (1, 3):
        check_file(ctx, os.path.join(ctx.work, "cams-ch%d.mkv" % channel),
                   [r for r in pictures if r.channel == channel],
                   [r for r in blocks if r.channel == channel] or None, "h264", channel)


@cases
def failures(ctx):
    # An export that fails or is cancelled: its outcome, and no file left behind. The feed cut
    # four ways; cancelled half way; a missing folder, and a file where a folder should be (root
    # may write anywhere else), with no request made; channel 6, which records nothing from 10 s
    # to 50 s.
    open(os.path.join(ctx.work, "plain"), "w").close()
    cut = [(FAILED, x, {"end": (0, 0, 30)}) for x in (
        ["--close-after", "3000000"], ["--cut-record", "200"], ["--bad-length", "100"],
        ["--end", "close"])]
    for want, args, kw in cut + [
            (CANCELLED, [], {"stop_at": 0.5}), (CANNOT_WRITE, [], {"name": "missing/clip.mkv"}),
            (CANNOT_WRITE, [], {"name": "plain/clip.mp4"}),
            (NOTHING, [], {"key": 6, "begin": (0, 0, 20), "end": (0, 0, 40)})]:
        kw = {"key": 1, "begin": (0, 0, 0), "end": (0, 0, 20), "name": "clip.mkv", **kw}
        with ctx.recorder(*args) as rec:
            out, summary, _ = ctx.export(rec, **kw)
            log = rec.log()
        expect(out == want, "%s: outcome %d, not %d" % (kw, out, want))
        expect(ctx.files() == ["plain"] and summary.files == 0, "left: %s" % ctx.files())
        expect(want != CANNOT_WRITE or not any("PlayBack1" in line for line in log),
               "a request for an unwritable path")


if __name__ == "__main__":
    sys.exit(cases.main(Ctx, [("--lib", True), ("--play", True), ("--recorder", True),
                              ("--samples", True)]))
