#!/usr/bin/env python3
"""End-to-end tests of the playback object through its exported C functions.

usage: e2e.py SCENARIO --host PATH [--recorder PATH --samples DIR]

Each scenario runs the C test host against a real peer on loopback: the substitute recorder
with the sample catalogue, or, where a stream must hold something no recording holds (a codec
switch, two sources with identical times), a plain server sending records cut from clips made
with the ffmpeg program. Pictures are checked against the ffmpeg program's own decode."""
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_lib as e  # noqa: E402

T0 = e.frame_time(2020, 1, 1, 8, 0, 0)
FRAME = 400_000  # 40 ms in frame-time units

scenario = e.Cases()
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


expect = e.expect


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
        expect((p[8] == 1) == ((p[4], p[5]) == (352, 288)),
               "source index matches its stream: picture %d of %d is %dx%d from source %d" %
               (p[1], len(pics), p[4], p[5], p[8]))
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


# ---- against the substitute recorder ---------------------------------------------------------

R0 = e.frame_time(2024, 1, 1)


def recorder(ctx, *extra):
    return e.Recorder(ctx.recorder, ctx.samples, ctx.work, *extra)


def record_commands(port, key=1, begin=(2024, 1, 1, 0, 0, 0), seconds=4, extra=()):
    b = "/".join(str(x) for x in begin)
    end = list(begin)
    end[5] += seconds
    return ["set:port:%d" % port, "set:key:%d" % key, "set:begin:" + b,
            "set:end:" + "/".join(str(x) for x in end), *extra]


def requests(log):
    return [l.split(" ", 4)[4] for l in log if l.split(" ")[1:2] == ["request"]]


def commands_by_connection(log):
    """(connection id, command line) in arrival order."""
    out = []
    for l in log:
        parts = l.split(" ", 3)
        if len(parts) == 4 and parts[1] == "command":
            out.append((int(parts[2]), parts[3]))
    return out


@scenario
def request_line(ctx):
    """The request line at the recorder for a record with every field set, byte for byte (blanks
    as %20 on the wire); DirectURL goes out unchanged and wins over the other fields."""
    with recorder(ctx) as rec:
        r = ctx.run(["create:1", "set:savefolder:" + ctx.save, "set:port:%d" % rec.port,
                     "set:key:1", "set:subkey:7", "set:fosid:3", "set:resolution:2",
                     "set:begin:2020/1/2/3/4/5", "set:end:2020/1/2/3/4/59", "set:orientation:2",
                     "set:keyonly:2", "set:noaudio:1", "open1", "wait_end:10000", "close:1",
                     "destroy"])
        r.check_ok()
        direct = ("/PlayBack1.cgi?Key=3,SubKey=0,FosID=0,BeginTime=2024/01/01 00:00:00.000,"
                  "EndTime=2024/01/01 00:00:01.000,Resolution=0,Orientation=Forward,"
                  "IsOnlyKeyFrame=False,NoAudio=True")
        r2 = ctx.run(["create:1", "set:savefolder:" + ctx.save, "set:port:1", "set:key:9",
                      "set:direct:http://127.0.0.1:%d%s" % (rec.port, direct), "open1",
                      "wait_end:10000", "close:1", "destroy"])
        r2.check_ok()
        # The recorder logs from its connection threads: wait for both lines, not a fixed time.
        deadline = time.time() + 10
        got = requests(rec.log())
        while len(got) < 2 and time.time() < deadline:
            time.sleep(0.1)
            got = requests(rec.log())
        log = rec.log()
    expect(len(got) == 2, "one request each, got %s\nrecorder log:\n%s\nsecond host:\n%s" %
           (got, "\n".join(log), r2.stderr[-3000:]))
    want = ("/PlayBack1.cgi?Key=1,SubKey=7,FosID=3,BeginTime=2020/01/02%2003:04:05.000,"
            "EndTime=2020/01/02%2003:04:59.000,Resolution=2,Orientation=Rewind,"
            "IsOnlyKeyFrame=False,NoAudio=True")
    expect(got[0] == want, "request line:\n  %s\nwant\n  %s" % (got[0], want))
    expect(got[1] == direct.replace(" ", "%20"), "direct URL: %s" % got[1])


@scenario
def commands_reach_recorder(ctx):
    """Pause and play from the host reach both recorders as Type lines; speed 1 with apply
    false sends nothing, with apply key frames only on both. (On-file mode, whose flow control
    never holds a recorder, so that only the host's lines go out.) The library sends the FOS
    line first, but the two lines leave within microseconds on two connections, served by two
    recorder threads: the order of their arrival is not the order of sending, so each
    connection's own sequence is what is checked."""
    with recorder(ctx, "--pace", "1") as rec:
        main = record_commands(rec.port, seconds=10, extra=["set:onfile:1", "set:savefolder:" +
                                                            ctx.save])
        fos = record_commands(rec.port, seconds=10, extra=["set:onfile:1", "set:fosid:1",
                                                           "set:savefolder:" + ctx.save])
        r = ctx.run(["create:1", *main, "set:writefile:main.feed", "rec:fos", *fos,
                     "set:writefile:fos.feed", "openfos", "wait_pictures:10:20000", "sleep:300",
                     "pause", "sleep:500", "play", "sleep:500", "pause", "sleep:500", "play",
                     "sleep:500", "speed:1:1:0:0", "sleep:500", "speed:1:1:1:0", "sleep:500",
                     "speed:0:1:0:0", "sleep:500", "close:1", "destroy"])
        r.check_ok()
        time.sleep(0.3)
        log = rec.log()
    conns = {}
    for l in log:
        parts = l.split(" ", 4)
        if parts[1:2] == ["request"]:
            conns[int(parts[2])] = "fos" if "PlayBack1_FOS" in parts[4] else "main"
    sent = [(conns[c], line) for c, line in commands_by_connection(log)]
    # A source's record of what it sent starts as a paused one, so the first Pause, with nothing
    # sent before it, changes nothing and stays unsent; every change after it goes out.
    want = [("fos", "Type=Play,OnlyeKyFrame=0,NOAudio=0"),
            ("main", "Type=Play,OnlyeKyFrame=0,NOAudio=0"),
            ("fos", "Type=Pause,OnlyeKyFrame=0,NOAudio=0"),
            ("main", "Type=Pause,OnlyeKyFrame=0,NOAudio=0"),
            ("fos", "Type=Play,OnlyeKyFrame=0,NOAudio=0"),
            ("main", "Type=Play,OnlyeKyFrame=0,NOAudio=0"),
            ("main", "Type=Play,OnlyeKyFrame=1,NOAudio=0"),
            ("fos", "Type=Play,OnlyeKyFrame=1,NOAudio=0")]
    for side in ("main", "fos"):
        mine = [line for who, line in sent if who == side]
        wanted = [line for who, line in want if who == side]
        expect(mine == wanted, "%s command lines:\n  %s\nwant\n  %s" % (side, mine, wanted))


@scenario
def no_stall(ctx):
    """A recorder that sends in real time and honours Pause at once, with 1 s groups: flow
    control and the reader's readiness rule must not hold each other; the clip plays to its end
    callback, at normal and at half speed."""
    with recorder(ctx, "--pace", "1") as rec:
        for exponent in (0, -1):
            r = ctx.run(["create:1", "set:savefolder:" + ctx.save,
                         *record_commands(rec.port, key=3, seconds=4),
                         "set:speed:%d" % exponent, "open1", "wait_end:40000", "close:1",
                         "destroy"], timeout=90)
            r.check_ok()
            expect(r.of("END") and r.of("END")[0][2] == "101", "speed %d: end callback: %s" %
                   (exponent, r.of("END") or r.of("TIMEOUT")))
            expect(len(r.pictures()) == 101, "speed %d: %d pictures" % (exponent,
                                                                        len(r.pictures())))
        # Paused before the first picture and resumed (Play toggles): the clip still plays
        # to its end.
        r = ctx.run(["create:1", "set:savefolder:" + ctx.save,
                     *record_commands(rec.port, key=3, seconds=4), "open1", "sleep:300",
                     "play", "sleep:1000", "play", "wait_end:40000", "close:1", "destroy"],
                    timeout=90)
        r.check_ok()
        expect(len(r.pictures()) == 101, "paused before the first picture, then resumed: %d "
               "pictures" % len(r.pictures()))
        pauses = [c for c in commands_by_connection(rec.log()) if c[1].startswith("Type=Pause")]
        expect(pauses, "flow control did hold the recorder")


def check_pictures(ctx, rec, key, seconds, width, height, codec):
    query = e.query(key=key, begin=(2024, 1, 1, 0, 0, 0), end=(2024, 1, 1, 0, 0, seconds),
                    noaudio="True")
    units = e.video_records_of(e.fetch(rec.port, query))
    clip = os.path.join(ctx.work, "units-%d.%s" % (key, codec))
    with open(clip, "wb") as f:
        for u in units:
            f.write(u.payload)
    ref = e.reference_hashes(ctx.host, clip, codec, width, height)
    r = ctx.run(["create:1", "set:savefolder:" + ctx.save, "set:noaudio:1",
                 *record_commands(rec.port, key=key, seconds=seconds), "hash:1", "open1",
                 "wait_end:60000", "close:1", "destroy"])
    r.check_ok()
    pics = r.pictures()
    # Held back by the playback rules: the closing key frame's group is never read, and each
    # packet gives at most one picture, so the pictures a decoder keeps for reordering and for
    # its frame threads (half the processors) never come out.
    last_key = max(i for i, u in enumerate(units) if u.key == 1)
    held = e.reorder_depth(clip, codec) + max(1, (os.cpu_count() or 1) // 2) - 1
    want = units[:last_key]
    expect(len(pics) == len(want) - held, "key %d: %d pictures, want %d - %d" %
           (key, len(pics), len(want), held))
    expect([p[6] for p in pics] == [u.frame_time for u in want[:len(pics)]],
           "key %d: FrameTime is the record's time" % key)
    bad = [i for i, (p, h) in enumerate(zip(pics, ref)) if p[9] != h]
    expect(not bad, "key %d: %d pictures differ from the ffmpeg decode, first %s" %
           (key, len(bad), bad[:1]))
    expect({(p[4], p[5]) for p in pics} == {(width, height)}, "key %d: size" % key)


@scenario
def pictures_h264_1080p(ctx):
    """Every picture of the 1080p H.264 clip is byte-identical to the ffmpeg program's BGR24
    decode of the same access units (fast bilinear), in order, with the record's time."""
    with recorder(ctx) as rec:
        check_pictures(ctx, rec, 1, 4, 1920, 1080, "h264")


@scenario
def pictures_hevc_720p(ctx):
    """The same for the 720p H.265 clip."""
    with recorder(ctx) as rec:
        check_pictures(ctx, rec, 2, 6, 1280, 720, "hevc")


@scenario
def recorder_codec_switch(ctx):
    """A recording whose records change from "h264" to "hevc" keeps playing across the
    change."""
    with recorder(ctx) as rec:
        r = ctx.run(["create:1", "set:savefolder:" + ctx.save,
                     *record_commands(rec.port, key=5, begin=(2024, 1, 1, 0, 0, 8), seconds=4),
                     "open1", "wait_end:30000", "close:1", "destroy"])
        r.check_ok()
    pics = r.pictures()
    switch = R0 + 10 * 10_000_000
    before = [p for p in pics if p[6] < switch]
    after = [p for p in pics if p[6] >= switch]
    expect(len(before) == 50 and len(after) == 51, "%d before, %d after the change" %
           (len(before), len(after)))


@scenario
def recorder_fos(ctx):
    """FOS playback with two recordings of the same times: pictures of both, each with its
    source and size."""
    with recorder(ctx) as rec:
        r = ctx.run(["create:1", "set:savefolder:" + ctx.save, *record_commands(rec.port),
                     "rec:fos", "set:savefolder:" + ctx.save,
                     *record_commands(rec.port, extra=["set:fosid:1"]), "openfos",
                     "wait_end:30000", "close:1", "destroy"])
        r.check_ok()
    pics = r.pictures()
    sizes = {0: (1920, 1080), 1: (1280, 720)}
    for source in (0, 1):
        mine = [p for p in pics if p[8] == source]
        expect(len(mine) == 101, "source %d: %d pictures" % (source, len(mine)))
        expect({(p[4], p[5]) for p in mine} == {sizes[source]}, "source %d: size" % source)
    expect([p[6] for p in pics] == sorted(p[6] for p in pics), "merged by frame time")


if __name__ == "__main__":
    sys.exit(scenario.main(Ctx, [("--host", True), ("--recorder", False), ("--samples", False)]))
