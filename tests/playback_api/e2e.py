#!/usr/bin/env python3
"""End-to-end tests of the playback object through its exported C functions.

usage: e2e.py SCENARIO --host PATH [--recorder PATH --samples DIR]

Each scenario runs the C test host against a real peer on loopback: the substitute recorder
with the sample catalogue, or, where a stream must hold something no recording holds (a codec
switch, two sources with identical times), a plain server sending records cut from clips made
with the ffmpeg program. Pictures are checked against the ffmpeg program's own decode."""
import argparse
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_lib as e  # noqa: E402

SCENARIOS = {}
T0 = e.frame_time(2020, 1, 1, 8, 0, 0)
FRAME = 400_000  # 40 ms in frame-time units


def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn


class Ctx:
    def __init__(self, args):
        self.host, self.recorder, self.samples = args.host, args.recorder, args.samples
        self.work = e.temp_dir()
        self.save = os.path.join(self.work, "save")
        os.makedirs(self.save)
        self._clips = {}

    def clip(self, codec, size, seconds, gop=25):
        key = (codec, size, seconds, gop)
        if key not in self._clips:
            path = os.path.join(self.work, "clip-%s-%s-%s-%d.%s" % (codec, size, seconds, gop, codec))
            e.encode_clip(path, codec, size, seconds, gop=gop)
            self._clips[key] = path
        return self._clips[key]

    def run(self, commands, **kw):
        return e.HostRun(self.host, self.work, commands, **kw)

    def direct(self, port):
        return ["set:savefolder:" + self.save, "set:direct:http://127.0.0.1:%d/PlayBack1.cgi?Key=1" % port]

    def saved_files(self):
        return os.listdir(self.save)


def expect(cond, what):
    if not cond:
        raise AssertionError(what)


def frames_server(ctx, codec="h264", size="320x240", seconds=2, gop=25, start=T0, end=True):
    path = ctx.clip(codec, size, seconds, gop)
    recs = e.video_records(e.access_units(path, codec), codec, start)
    return recs, e.RecordServer(recs + ([e.end_record()] if end else []))


def delivered(recs):
    """Video records the library can show: everything before the last key frame (the group that
    key frame opens is never closed by a following one, so it is never read)."""
    last_key = max(i for i, r in enumerate(recs) if r.kind == 1 and r.key == 1)
    return [r for r in recs[:last_key] if r.kind == 1]


# ---- issue scenarios ------------------------------------------------------------------------

@scenario
def codec_switch(ctx):
    """Records switch from "h264" to "hevc": the decoder is reopened and both parts play, every
    picture byte-identical to the ffmpeg program's decode."""
    a = e.video_records(e.access_units(ctx.clip("h264", "320x240", 2), "h264"), "h264", T0)
    b = e.video_records(e.access_units(ctx.clip("hevc", "352x288", 2), "hevc"), "hevc",
                        T0 + 50 * FRAME)
    srv = e.RecordServer(a + b + [e.end_record()])
    r = ctx.run(["create:1", *ctx.direct(srv.port), "hash:1", "open1", "wait_end:30000",
                 "wait_state4:5000", "close:1", "destroy"])
    r.check_ok()
    pics = r.pictures()
    want = delivered(a + b)
    ref = (e.reference_hashes(ctx.host, ctx.clip("h264", "320x240", 2), "h264", 320, 240) +
           e.reference_hashes(ctx.host, ctx.clip("hevc", "352x288", 2), "hevc", 352, 288))
    # The clips have no B-frames, so the decoder holds nothing back: every record before the
    # last key frame is shown.
    expect(len(pics) == len(want), "%d pictures, want %d" % (len(pics), len(want)))
    expect([p[6] for p in pics] == [w.frame_time for w in want], "FrameTime is the record's time")
    expect([p[9] for p in pics] == ref[:len(want)], "pictures equal the ffmpeg decode")
    expect({(p[4], p[5]) for p in pics} == {(320, 240), (352, 288)}, "both codecs shown")


@scenario
def end_and_stop(ctx):
    """The end callback comes once with the main source's feed state, after the last picture,
    then state 4; Stop(true) returns after the threads have ended and reports no state 4;
    Stop(false) returns at once and state 4 follows."""
    recs, srv = frames_server(ctx)
    r = ctx.run(["create:1", *ctx.direct(srv.port), "open1", "wait_end:30000",
                 "wait_state4:5000", "wait_quiet:300", "close:1", "destroy"])
    r.check_ok()
    ends, states = r.of("END"), r.of("STATE")
    expect(len(ends) == 1 and ends[0][2] == "101", "one end callback with feed state 101: %s" % ends)
    expect([s[2] for s in states] == ["4"], "state 4 once: %s" % states)
    last_pic = max(int(p[1]) for p in r.of("PIC"))
    expect(last_pic < int(ends[0][1]) < int(states[0][1]), "pictures, then end, then state 4")
    expect(len(r.of("PIC")) == len(delivered(recs)), "every picture before the end")

    def counts(pid, name):
        return e.proc_counts(pid)
    srv2 = e.RecordServer(recs + [e.end_record()], pace=0.02)
    r = ctx.run(["create:1", *ctx.direct(srv2.port), "open1", "checkpoint:playing",
                 "wait_pictures:10:20000", "close:1", "mark:closed", "sleep:500", "checkpoint:after",
                 "destroy"], on_checkpoint=counts)
    r.check_ok()
    expect(not r.of("STATE"), "a waiting stop reports no state 4")
    closed = int(r.of("MARK")[0][1])
    expect(all(int(p[1]) < closed for p in r.of("PIC")), "nothing after Stop(true) returned")
    threads_playing = r.checkpoints["playing"][0]
    expect(r.checkpoints["after"][0] < threads_playing, "engine threads gone after Stop(true)")

    srv3 = e.RecordServer(recs + [e.end_record()], pace=0.02)
    r = ctx.run(["create:1", *ctx.direct(srv3.port), "open1", "wait_pictures:5:20000", "close:0",
                 "mark:returned", "wait_state4:5000", "close:1", "destroy"])
    r.check_ok()
    took = [int(c[3]) for c in r.of("CALL") if c[2] == "close"][0]
    expect(took < 50_000, "Stop(false) returns at once (%d us)" % took)
    expect(int(r.of("STATE")[0][1]) >= int(r.of("MARK")[0][1]), "state 4 follows")


@scenario
def unreachable(ctx):
    """Nothing listens: open returns, the end callback reports state 3, nothing hangs."""
    port = e.free_port()
    r = ctx.run(["create:1", "set:savefolder:" + ctx.save, "set:port:%d" % port, "open1",
                 "wait_end:10000", "wait_state4:5000", "close:1", "destroy"], timeout=30)
    r.check_ok()
    expect(r.of("END")[0][2] == "3", "feed state 3: %s" % r.of("END"))
    expect(not r.of("PIC"), "no pictures")


@scenario
def reopen_and_cycles(ctx):
    """Opened, closed with wait and opened again, the object plays again; 20 cycles of create,
    open, close and destroy leave no thread, no descriptor and no group file behind."""
    recs, srv = frames_server(ctx, seconds=4, gop=10)
    srv.pace = 0.005
    r = ctx.run(["create:1", *ctx.direct(srv.port), "open1", "wait_pictures:5:20000", "close:1",
                 "mark:reopen", "open1", "wait_pictures:10:20000", "close:1", "destroy"])
    r.check_ok()
    reopen = int(r.of("MARK")[0][1])
    again = [p for p in r.pictures() if p[0] > reopen]
    expect(len(again) >= 5 and again[0][6] == T0, "plays again from the start: %s" % again[:1])

    cycle = ["create:1", *ctx.direct(srv.port), "open1", "wait_pictures:%d:20000", "close:1",
             "destroy"]
    commands = [c.replace("%d", "1") for c in cycle] + ["checkpoint:before"]
    for i in range(20):
        commands += [c.replace("%d", str(2 + i)) for c in cycle]
    commands += ["sleep:200", "checkpoint:after"]
    r = ctx.run(commands, on_checkpoint=lambda pid, name: e.proc_counts(pid), timeout=240)
    r.check_ok()
    before, after = r.checkpoints["before"], r.checkpoints["after"]
    expect(after[0] == before[0], "threads %d -> %d" % (before[0], after[0]))
    expect(after[1] == before[1], "descriptors %d -> %d" % (before[1], after[1]))
    expect(ctx.saved_files() == [], "group files left: %s" % ctx.saved_files())


@scenario
def pause_hold(ctx):
    """Pause holds the picture and the position; play continues with the next picture."""
    recs, srv = frames_server(ctx, seconds=4)
    r = ctx.run(["create:1", *ctx.direct(srv.port), "open1", "wait_pictures:10:20000", "pause",
                 "mark:paused", "sleep:1000", "mark:resume", "play", "wait_pictures:20:20000",
                 "close:1", "destroy"])
    r.check_ok()
    paused, resume = (int(m[1]) for m in r.of("MARK"))
    pics = r.pictures()
    during = [p for p in pics if paused + 20_000 < p[0] < resume]
    expect(not during, "no picture while paused: %d" % len(during))
    states = [s[2] for s in r.of("STATE")]
    expect(states[:2] == ["3", "2"], "pause and play reported: %s" % states)
    times = [p[6] for p in pics]
    expect(times == [T0 + i * FRAME for i in range(len(times))], "no picture lost or repeated")


@scenario
def speeds(ctx):
    """Picture intervals follow the frame duration divided by the speed factor."""
    recs, srv = frames_server(ctx, seconds=3)
    for exponent in (-1, 0, 1, 3):
        r = ctx.run(["create:1", *ctx.direct(srv.port), "set:speed:%d" % exponent, "open1",
                     "wait_end:60000", "close:1", "destroy"])
        r.check_ok()
        t = [p[0] for p in r.pictures()][5:]
        gaps = [(b - a) / 1000 for a, b in zip(t, t[1:])]
        ideal = 40 / 2 ** exponent
        med = statistics.median(gaps)
        # a refresh period or two of slack, and the 5 ms refresh bounds the fastest rate
        expect(abs(med - max(ideal, 5)) <= 10, "speed %d: median gap %.1f ms, ideal %.1f" %
               (exponent, med, ideal))
        span = (t[-1] - t[0]) / 1000
        expect(abs(span - ideal * (len(t) - 1)) <= 0.15 * ideal * len(t) + 20,
               "speed %d: %d pictures in %.0f ms" % (exponent, len(t), span))


@scenario
def fos_merge(ctx):
    """Two sources with the same frame times: pictures are merged by time, the FOS frame first on
    equal times, each with its source."""
    main = e.video_records(e.access_units(ctx.clip("h264", "320x240", 1, gop=1), "h264"), "h264", T0)
    fos = e.video_records(e.access_units(ctx.clip("h264", "352x288", 1, gop=1), "h264"), "h264", T0)
    a, b = e.RecordServer(main + [e.end_record()]), e.RecordServer(fos + [e.end_record()])
    r = ctx.run(["create:1", "set:savefolder:" + ctx.save, "set:port:%d" % a.port, "rec:fos",
                 "set:savefolder:" + ctx.save, "set:port:%d" % b.port, "openfos",
                 "wait_end:30000", "close:1", "destroy"])
    r.check_ok()
    pics = r.pictures()
    expect(len(pics) >= 40, "%d pictures" % len(pics))
    expect([p[6] for p in pics] == sorted(p[6] for p in pics), "merged by frame time")
    for p in pics:
        expect((p[8] == 1) == ((p[4], p[5]) == (352, 288)), "source index matches its stream")
    for x, y in zip(pics, pics[1:]):
        if x[6] == y[6]:
            expect((x[8], y[8]) == (1, 0), "FOS first on equal times")


def audio_stream(ctx, seconds=3):
    """A clip with a 440 Hz tone in 40 ms µ-law blocks, each after the picture it goes with."""
    tone = os.path.join(ctx.work, "tone.ul")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "sine=frequency=440:sample_rate=8000", "-t", str(seconds), "-ac", "1",
                    "-ar", "8000", "-f", "mulaw", tone], check=True)
    blocks = open(tone, "rb").read()
    video = e.video_records(e.access_units(ctx.clip("h264", "320x240", seconds), "h264"), "h264", T0)
    recs = []
    for i, v in enumerate(video):
        recs.append(v)
        block = blocks[i * 320:(i + 1) * 320]
        if block:
            recs.append(e.Record(e.make_header(2, "", v.frame_time, 40, i * 40, len(block), 0), block))
    return recs


def decoded(ulaw, channels):
    return subprocess.run(["ffmpeg", "-v", "error", "-f", "mulaw", "-ar", "8000", "-ac", "1", "-i",
                           "-", "-ac", str(channels), "-f", "s16le", "-"], input=ulaw,
                          capture_output=True, check=True).stdout


def samples(raw):
    import array
    a = array.array("h")
    a.frombytes(raw[:len(raw) // 2 * 2])
    return a


@scenario
def audio(ctx):
    """With SDL's disk driver the device receives exactly libswresample's conversion of the µ-law
    decode (mono: the decode itself; two channels: the conversion the ffmpeg program makes with
    the same library), in order, and zeros while paused."""
    recs = audio_stream(ctx)
    last_key = max(i for i, r in enumerate(recs) if r.kind == 1 and r.key == 1)
    ulaw = b"".join(r.payload for r in recs[:last_key] if r.kind == 2)
    for channels in (1, 2):
        srv = e.RecordServer(recs + [e.end_record()])
        out = os.path.join(ctx.work, "audio%d.raw" % channels)
        env = {"SDL_AUDIODRIVER": "disk", "SDL_DISKAUDIOFILE": out}
        if channels == 2:
            env["SDL_AUDIO_CHANNELS"] = "2"
        r = ctx.run(["create:1", *ctx.direct(srv.port), "open1", "wait_pictures:25:20000", "pause",
                     "sleep:1000", "play", "wait_end:30000", "sleep:300", "close:1", "destroy"],
                    env=env)
        r.check_ok()
        got = samples(open(out, "rb").read())
        want = samples(decoded(ulaw, channels))
        nz_got, nz_want = [x for x in got if x], [x for x in want if x]
        expect(nz_got == nz_want, "%d channels: %d of %d samples as converted" %
               (channels, sum(1 for a, b in zip(nz_got, nz_want) if a == b), len(nz_want)))
        run, longest = 0, 0
        for x in got:
            run = run + 1 if x == 0 else 0
            longest = max(longest, run)
        expect(longest >= 0.6 * 8000 * channels, "zeros while paused: longest run %d" % longest)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("scenario", choices=sorted(SCENARIOS))
    ap.add_argument("--host", required=True)
    ap.add_argument("--recorder")
    ap.add_argument("--samples")
    args = ap.parse_args()
    ctx = Ctx(args)
    try:
        SCENARIOS[args.scenario](ctx)
    except AssertionError as err:
        print("FAILED %s: %s (work folder %s)" % (args.scenario, err, ctx.work))
        return 1
    e.remove(ctx.work)
    print("passed", args.scenario)
    return 0


if __name__ == "__main__":
    sys.exit(main())
