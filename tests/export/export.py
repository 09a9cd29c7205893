"""Export of a range to Matroska and MP4: every case against varnel-recorder, with ffprobe and
the ffmpeg program as the oracle for what a player will see."""
import ctypes as C
import datetime
import json
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import driver as e  # noqa: E402
from driver import Cases, Recorder, expect  # noqa: E402

cases = Cases()
DONE, CANCELLED, CANNOT_WRITE, FAILED, NOTHING = range(5)


class Time(C.Structure):
    _fields_ = [(n, C.c_int32) for n in ("Year", "Month", "Day", "Hour", "Minute", "Second", "Unused")]


class Setting(C.Structure):
    _fields_ = [("FosID", C.c_int32), ("IP", C.c_char * 256), ("Port", C.c_int32), ("Key", C.c_int32),
                ("SubKey", C.c_int32), ("Resolution", C.c_int32), ("BeginTime", Time),
                ("EndTime", Time), ("OnFile", C.c_int32), ("AutoRepeat", C.c_int32),
                ("SaveFolder", C.c_char * 1024), ("DirectURL", C.c_char * 512),
                ("WriteFileName", C.c_char * 256), ("Speed", C.c_int32), ("Orientation", C.c_int32),
                ("IsOnlyKeyFrame", C.c_int32), ("NoAudio", C.c_int32),
                ("FrameCallback", C.c_void_p), ("EndCallback", C.c_void_p)]


class Summary(C.Structure):
    _fields_ = [(n, C.c_int64) for n in ("pictures", "soundBlocks", "firstFrameTime",
                                         "lastFrameTime", "duration", "bytes")] + \
               [("files", C.c_int32), ("reserved", C.c_int32)]


PROGRESS = C.CFUNCTYPE(C.c_bool, C.c_int64, C.c_int64, C.c_void_p)
assert C.sizeof(Setting) == 2168 and C.sizeof(Summary) == 56


def load_sanitized(lib):
    """A library built with a sanitizer loads into Python only behind the sanitizer's runtime:
    the driver starts again with it preloaded (and without leak checks, which would report
    Python's own), and keeps both from the programs it starts."""
    if "VARNEL_EXPORT_ASAN_OPTIONS" in os.environ:
        os.environ.pop("LD_PRELOAD")
        os.environ["ASAN_OPTIONS"] = os.environ.pop("VARNEL_EXPORT_ASAN_OPTIONS")
        return
    deps = subprocess.run(["ldd", lib], capture_output=True, text=True).stdout
    m = re.search(r"lib[at]san\.so\S* => (\S+)", deps)
    if m:
        asan = os.environ.get("ASAN_OPTIONS", "")
        env = dict(os.environ, LD_PRELOAD=m.group(1), VARNEL_EXPORT_ASAN_OPTIONS=asan,
                   ASAN_OPTIONS="detect_leaks=0:" + asan)
        os.execve(sys.executable, [sys.executable] + sys.argv, env)


class Ctx:
    def __init__(self, args):
        load_sanitized(args.lib)
        self.args = args
        self.work = e.temp_dir()
        self.lib = C.CDLL(args.lib)
        self.lib.varnel_export.restype = C.c_int32
        self.lib.varnel_export_channels.restype = C.c_int32

    def recorder(self, *extra):
        return Recorder(self.args.recorder, self.args.samples, self.work, *extra)

    def export(self, rec, key, begin, end, name, stop_at=None, channels=None):
        """(outcome, summary, progress calls); stop_at: the fraction of the range at which the
        progress callback cancels."""
        s = Setting(IP=b"127.0.0.1", Port=rec.port, Key=key, Orientation=1,
                    BeginTime=Time(2024, 1, 1, *begin), EndTime=Time(2024, 1, 1, *end))
        t0, t1 = e.frame_time(2024, 1, 1, *begin), e.frame_time(2024, 1, 1, *end)
        calls = []

        def progress(t, size, _):
            calls.append((t, size))
            return stop_at is None or (t - t0) < stop_at * (t1 - t0)
        summary = Summary()
        path = os.path.join(self.work, name).encode()
        cb = PROGRESS(progress)
        if channels:
            arr = (C.c_int32 * len(channels))(*channels)
            out = self.lib.varnel_export_channels(C.byref(s), arr, len(channels), path, cb, None,
                                                  C.byref(summary))
        else:
            out = self.lib.varnel_export(C.byref(s), path, cb, None, C.byref(summary))
        return out, summary, calls

    def files(self):
        return sorted(f for f in os.listdir(self.work) if not f.startswith("recorder-"))


def sent(rec, endpoint, key, begin, end):
    """The records the recorder sends for the range, fetched without the library, and the
    pictures and sound of the range among them (the key frame after it left out)."""
    q = e.query(key=0, begin=(2024, 1, 1, *begin), end=(2024, 1, 1, *end))
    q = q.replace("PlayBack1", endpoint).replace("?Key=0", "?Key=%s" % key)
    limit = e.frame_time(2024, 1, 1, *end)
    recs = [r for r in e.fetch(rec.port, q) if r.kind in (1, 2) and r.frame_time <= limit]
    return [r for r in recs if r.kind == 1], [r for r in recs if r.kind == 2]


def iso(frame_time):
    return (datetime.datetime(1, 1, 1) +
            datetime.timedelta(microseconds=frame_time // 10)).strftime("%Y-%m-%dT%H:%M:%S")


def probe(path, *what):
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json", *what, path], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def md5s(argv):
    """The decoded pictures' MD5s, and what the decoder complained of."""
    res = subprocess.run(["ffmpeg", "-v", "error", *argv, "-map", "0:v", "-f", "framemd5", "-"],
                         check=True, capture_output=True, text=True)
    return ([line.split(",")[-1].strip() for line in res.stdout.splitlines()
             if not line.startswith("#")], res.stderr)


def check_file(ctx, path, pictures, sound, codec, channel):
    """The file against the records it was made from: codecs, picture count, decoded pictures,
    every time stamp, the sound, the creation time, the track titles, a clean decode."""
    t0 = pictures[0].frame_time
    info = probe(path, "-show_streams", "-show_format")
    kinds = [(s["codec_type"], s["codec_name"]) for s in info["streams"]]
    expect(kinds == [("video", codec)] + ([("audio", "pcm_mulaw")] if sound else []),
           "%s: tracks %s" % (path, kinds))
    expect(all(s["tags"].get("title", s["tags"].get("handler_name")) == "channel %d" % channel
               for s in info["streams"]), "%s: titles %s" % (path, info["streams"]))
    created = info["format"]["tags"]["creation_time"]
    expect(created.startswith(iso(t0)), "%s: creation time %s, first picture %s" %
           (path, created, iso(t0)))
    end = (pictures[-1].frame_time - t0) / 1e7 + pictures[-1].duration / 1000
    expect(abs(float(info["format"]["duration"]) - end) <= 0.0015,
           "%s: duration %s, pictures end at %.3f" % (path, info["format"]["duration"], end))
    pts = [float(p["pts_time"]) for p in probe(path, "-select_streams", "v", "-show_entries",
                                               "packet=pts_time")["packets"]]
    want = [round((r.frame_time - t0) / 1e4) / 1e3 for r in pictures]
    expect(len(pts) == len(want), "%s: %d pictures, %d sent" % (path, len(pts), len(want)))
    expect(max(abs(a - b) for a, b in zip(pts, want)) < 0.0005, "%s: picture times" % path)
    raw = os.path.join(ctx.work, "sent.%s" % codec)
    with open(raw, "wb") as f:
        f.write(b"".join(r.payload for r in pictures))
    direct, _ = md5s(["-f", codec, "-i", raw])
    mine, errors = md5s(["-i", path])
    expect(mine == direct and len(direct) == len(pictures),
           "%s: pictures decode as the access units do" % path)
    expect(errors == "", "%s: decode errors %r" % (path, errors[:300]))
    if sound:
        blocks = [r for r in sound if r.frame_time >= t0]
        samples = len(subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:a", "-f",
                                      "u8", "-acodec", "pcm_u8", "-"], check=True,
                                     capture_output=True).stdout)
        total = sum(len(r.payload) for r in blocks)
        expect(abs(samples - total) <= 320, "%s: %d samples, %d sent" % (path, samples, total))
        apts = [float(p["pts_time"]) for p in probe(path, "-select_streams", "a", "-show_entries",
                                                    "packet=pts_time")["packets"]]
        skew = max(abs(a - (r.frame_time - t0) / 1e7) for a, r in zip(apts, blocks))
        expect(skew <= 0.040, "%s: sound off the pictures by %.3f s" % (path, skew))


def exact(ctx, key, codec, begin, end, name, sound):
    with ctx.recorder() as rec:
        pictures, blocks = sent(rec, "PlayBack1", key, begin, end)
        out, summary, calls = ctx.export(rec, key, begin, end, name)
    expect(out == DONE and ctx.files() == [name], "outcome %d, files %s" % (out, ctx.files()))
    expect(summary.pictures == len(pictures) and summary.files == 1, "summary")
    expect(calls and calls[-1][1] <= summary.bytes, "progress: %s" % calls[-3:])
    check_file(ctx, os.path.join(ctx.work, name), pictures, blocks if sound else None, codec, key)


@cases
def exact_mkv_sound(ctx):
    exact(ctx, 1, "h264", (0, 0, 2), (0, 0, 7), "clip.mkv", True)


@cases
def exact_mp4_hevc(ctx):
    # The sound the recorder sends is left out of MP4.
    exact(ctx, 2, "hevc", (0, 0, 0), (0, 0, 20), "clip.mp4", False)


@cases
def exact_mp4_hole(ctx):
    # Channel 6 has 40 s with nothing recorded after its first 10 s: kept as 40 s in the file.
    exact(ctx, 6, "h264", (0, 0, 5), (0, 1, 0), "clip.MP4", False)


@cases
def codec_change(ctx):
    """Channel 5 goes from H.264 to H.265 at 10 s: two files, each starting at 0."""
    with ctx.recorder() as rec:
        pictures, _ = sent(rec, "PlayBack1", 5, (0, 0, 0), (0, 0, 20))
        out, summary, _ = ctx.export(rec, 5, (0, 0, 0), (0, 0, 20), "clip.mkv")
    expect(out == DONE and ctx.files() == ["clip-2.mkv", "clip.mkv"], "files %s" % ctx.files())
    expect(summary.files == 2 and summary.pictures == len(pictures), "summary")
    for name, codec in (("clip.mkv", "h264"), ("clip-2.mkv", "hevc")):
        part = [r for r in pictures if r.codec == codec]
        check_file(ctx, os.path.join(ctx.work, name), part, None, codec, 5)


@cases
def channels_cli(ctx):
    """varnel-play --export --channels: one file a channel, each as exact as a single one."""
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
    for channel, codec in ((1, "h264"), (3, "h264")):
        mine = [r for r in pictures if r.channel == channel]
        sound = [r for r in blocks if r.channel == channel] or None
        check_file(ctx, os.path.join(ctx.work, "cams-ch%d.mkv" % channel), mine, sound, codec,
                   channel)


def nothing_left(ctx, want, args, keep=(), **kw):
    with ctx.recorder(*args) as rec:
        out, summary, _ = ctx.export(rec, kw.pop("key", 1), kw.pop("begin", (0, 0, 0)),
                                     kw.pop("end", (0, 0, 20)), kw.pop("name", "clip.mkv"), **kw)
        log = rec.log()
    expect(out == want, "outcome %d, not %d" % (out, want))
    expect(ctx.files() == list(keep) and summary.files == 0, "left behind: %s" % ctx.files())
    return log


@cases
def cut_connection(ctx):
    for args in (["--close-after", "3000000"], ["--cut-record", "200"], ["--bad-length", "100"],
                 ["--end", "close"]):
        nothing_left(ctx, FAILED, args, end=(0, 0, 30))


@cases
def cancel_half(ctx):
    nothing_left(ctx, CANCELLED, [], stop_at=0.5)


@cases
def unwritable_path(ctx):
    # A missing folder, and a file where a folder should be (root may write anywhere else).
    open(os.path.join(ctx.work, "plain"), "w").close()
    for name in ("missing/clip.mkv", "plain/clip.mp4"):
        log = nothing_left(ctx, CANNOT_WRITE, [], name=name, keep=["plain"])
        expect(not any("PlayBack1" in line for line in log), "no request for an unwritable path")


@cases
def no_recording(ctx):
    # Channel 6 records nothing from 10 s to 50 s.
    nothing_left(ctx, NOTHING, [], key=6, begin=(0, 0, 20), end=(0, 0, 40))


if __name__ == "__main__":
    sys.exit(cases.main(Ctx, [("--lib", True), ("--play", True), ("--recorder", True),
                              ("--samples", True)]))
