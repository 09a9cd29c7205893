#!/usr/bin/env python3
"""End-to-end tests of the playback object through its exported C functions.

usage: e2e.py SCENARIO --host PATH [--recorder PATH --samples DIR]

Each scenario runs the C test host against a real peer on loopback: the substitute recorder
with the sample catalogue, or, where a stream must hold something no recording holds (a codec
switch, two sources with identical times), a plain server sending records cut from clips made
with the ffmpeg program. Pictures are checked against the ffmpeg program's own decode."""
import os
import atexit
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import driver as e  # noqa: E402

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

    @property
    def rec(self):
        """One substitute recorder for the whole case, started on first use."""
        if not hasattr(self, "_rec"):
            self._rec = recorder(self)
            atexit.register(self._rec.close)
        return self._rec


expect = e.expect


def frames_server(ctx, codec="h264", size="320x240", seconds=2, gop=25, start=T0, end=True):
    path = ctx.clip(codec, size, seconds, gop)
    recs = e.video_records(e.access_units(path, codec), codec, start)
    return recs, e.RecordServer(recs + ([e.end_record()] if end else []))


def delivered(recs):
    """Video records the library shows: all of them (the end of the feed finishes the last
    group)."""
    return [r for r in recs if r.kind == 1]


# ---- issue scenarios ------------------------------------------------------------------------

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
def reopen_and_cycles(ctx):
    """Opened, closed with wait and opened again, the object plays again. (Cycles of create,
    open, close and destroy, and an unreachable recorder: the Python binding's tests, where
    the library's threads are the test's own.)"""
    recs, srv = frames_server(ctx, seconds=4, gop=10)
    srv.pace = 0.005
    r = ctx.run(["create:1", *ctx.direct(srv.port), "open1", "wait_pictures:5:20000", "close:1",
                 "mark:reopen", "open1", "wait_pictures:10:20000", "close:1", "destroy"])
    r.check_ok()
    reopen = int(r.of("MARK")[0][1])
    again = [p for p in r.pictures() if p[0] > reopen]
    expect(len(again) >= 5 and again[0][6] == T0, "plays again from the start: %s" % again[:1])


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
    for exponent in (-1, 0, 1, 2, 3):
        r = ctx.run(["create:1", *ctx.direct(srv.port), "set:speed:%d" % exponent, "open1",
                     "wait_end:60000", "close:1", "destroy"])
        r.check_ok()
        t = [p[0] for p in r.pictures()][5:]
        gaps = [(b - a) / 1000 for a, b in zip(t, t[1:])]
        ideal = 40 / 2 ** exponent
        med = statistics.median(gaps)
        # slack for a loaded machine; at 8x (5 ms a picture) decoding bounds the rate
        expect(abs(med - max(ideal, 5)) <= 10, "speed %d: median gap %.1f ms, ideal %.1f" %
               (exponent, med, ideal))
        if ideal <= 5:
            # At 8x a picture is due every 5 ms, and one that comes late is shown late
            # rather than dropped: the span then measures how fast a loaded machine decodes,
            # a figure of the playback benchmark, not of pacing.
            continue
        span = (t[-1] - t[0]) / 1000
        expect(abs(span - ideal * (len(t) - 1)) <= 0.15 * ideal * len(t) + 20,
               "speed %d: %d pictures in %.0f ms" % (exponent, len(t), span))


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
    ulaw = b"".join(r.payload for r in recs if r.kind == 2)
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
        whole = len(recorded(rec, 3, 4))
        for exponent in (0, -1):
            r = ctx.run(["create:1", "set:savefolder:" + ctx.save,
                         *record_commands(rec.port, key=3, seconds=4),
                         "set:speed:%d" % exponent, "open1", "wait_end:40000", "close:1",
                         "destroy"], timeout=90)
            r.check_ok()
            expect(r.of("END") and r.of("END")[0][2] == "101", "speed %d: end callback: %s" %
                   (exponent, r.of("END") or r.of("TIMEOUT")))
            expect(len(r.pictures()) == whole, "speed %d: %d pictures of %d" %
                   (exponent, len(r.pictures()), whole))
        # Paused before the first picture and resumed (Play toggles): the clip still plays
        # to its end.
        r = ctx.run(["create:1", "set:savefolder:" + ctx.save,
                     *record_commands(rec.port, key=3, seconds=4), "open1", "sleep:300",
                     "play", "sleep:1000", "play", "wait_end:40000", "close:1", "destroy"],
                    timeout=90)
        r.check_ok()
        expect(len(r.pictures()) == whole, "paused before the first picture, then resumed: %d "
               "pictures of %d" % (len(r.pictures()), whole))
        pauses = [c for c in commands_by_connection(rec.log()) if c[1].startswith("Type=Pause")]
        expect(pauses, "flow control did hold the recorder")


@scenario
def no_password_in_traces(ctx):
    """With the account in the address, Basic and Digest: the recorder is reached, and no trace
    line, error output or working file holds the password; the traces show alice:***@."""
    for auth in ("basic", "digest"):
        with recorder(ctx, "--auth", auth, "--user", "alice", "--password", "s3cret") as rec:
            r = ctx.run(["create:1", "set:savefolder:" + ctx.save, "set:ip:alice:s3cret@127.0.0.1",
                         *record_commands(rec.port, seconds=1), "open1", "wait_end:20000",
                         "close:1", "destroy"])
        r.check_ok()
        expect(r.pictures(), "%s: no picture with the account" % auth)
        expect(any("alice:***@" in " ".join(l) for l in r.of("TRACE")), "%s: traces" % auth)
        files = [os.path.join(d, f) for d, _, fs in os.walk(ctx.work) for f in fs]
        leaks = [f for f in files if b"s3cret" in open(f, "rb").read()]
        expect(not leaks and "s3cret" not in r.stderr, "%s: the password in %s" % (auth, leaks))


def hashes_by_time(ctx, units, name, width, height, codec="h264"):
    """The ffmpeg program's picture hash of each access unit, by frame time: the units are
    decoded as one clip, in the order given."""
    clip = os.path.join(ctx.work, name)
    with open(clip, "wb") as f:
        for u in units:
            f.write(u.payload)
    hashes = e.reference_hashes(ctx.host, clip, codec, width, height)
    return {u.frame_time: h for u, h in zip(units, hashes)}


def recorded(rec, key, seconds, begin=(2024, 1, 1, 0, 0, 0), fosid=0):
    """The video records the recorder sends for a range, fetched by a plain client."""
    end = begin[:5] + (begin[5] + seconds,)
    return e.video_records_of(e.fetch(rec.port, e.query(key=key, fosid=fosid, begin=begin,
                                                         end=end, noaudio="True",
                                                         fos=fosid != 0)))


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
    # Every access unit becomes a picture: the last group is finished by the end of the feed,
    # and what the decoder still holds is drained out before the end callback.
    want = units
    expect(len(pics) == len(want), "key %d: %d pictures, want %d" % (key, len(pics), len(want)))
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
def codec_switch(ctx):
    """A recording whose records change from "h264" to "hevc": the decoder is reopened and both
    parts play, every picture byte-identical to the ffmpeg program's decode of its access unit,
    with the record's time."""
    begin = (2024, 1, 1, 0, 0, 8)
    units = recorded(ctx.rec, 5, 4, begin)
    ref = []
    for codec, size in (("h264", (320, 240)), ("hevc", (320, 240))):
        clip = os.path.join(ctx.work, "switch.%s" % codec)
        with open(clip, "wb") as f:
            for u in units:
                if u.codec == codec:
                    f.write(u.payload)
        ref += e.reference_hashes(ctx.host, clip, codec, *size)
    r = ctx.run(["create:1", "set:savefolder:" + ctx.save, "set:noaudio:1",
                 *record_commands(ctx.rec.port, key=5, begin=begin, seconds=4), "hash:1",
                 "open1", "wait_end:30000", "close:1", "destroy"])
    r.check_ok()
    pics = r.pictures()
    codecs = [u.codec for u in units]
    expect("h264" in codecs and "hevc" in codecs, "the range crosses the change: %s" %
           sorted(set(codecs)))
    expect([p[6] for p in pics] == [u.frame_time for u in units], "every record, in order")
    bad = [i for i, (p, h) in enumerate(zip(pics, ref)) if p[9] != h]
    expect(not bad, "%d pictures differ from the ffmpeg decode, first %s" % (len(bad), bad[:1]))


@scenario
def smooth_reverse(ctx):
    """Smooth reverse over three groups: every picture of the range once, in falling frame
    time, spaced by the frame durations, each byte-identical to the ffmpeg program's decode of
    its access unit; a pause in the middle of a group goes on with the neighbour of the last
    picture shown."""
    begin = (2024, 1, 1, 0, 0, 5)
    # What the recorder sends for the rewind (whole groups), put back in forward order.
    units = sorted(e.video_records_of(e.fetch(ctx.rec.port, e.query(
        key=3, begin=begin, end=begin[:5] + (begin[5] + 3,), orientation="Rewind",
        noaudio="True"))), key=lambda u: u.frame_time)
    hashes = hashes_by_time(ctx, units, "reverse.h264", 640, 360)
    r = ctx.run(["create:1", "reverse:1", "set:savefolder:" + ctx.save, "set:noaudio:1",
                 "set:orientation:2", *record_commands(ctx.rec.port, key=3, begin=begin,
                                                       seconds=3),
                 "hash:1", "open1", "wait_pictures:35:20000", "pause", "mark:paused",
                 "sleep:400", "play", "wait_end:60000", "close:1", "destroy"])
    r.check_ok()
    pics = r.pictures()
    times = [p[6] for p in pics]
    want = sorted((u.frame_time for u in units), reverse=True)
    expect(times == want, "%d pictures in falling time, want %d; first out of place at %s" %
           (len(times), len(want), next((i for i, (a, b) in enumerate(zip(times, want))
                                          if a != b), min(len(times), len(want)))))
    bad = [i for i, p in enumerate(pics) if hashes.get(p[6]) != p[9]]
    expect(not bad, "%d pictures differ from the ffmpeg decode, first %s" % (len(bad), bad[:1]))
    paused = int(r.of("MARK")[0][1])
    shown = [p for p in pics if int(p[0]) < paused]
    expect(30 <= len(shown) < len(pics), "the pause came in the middle (after %d)" % len(shown))
    # Shown at the pace of the frames (40 ms), not all at once; a lower bound only.
    spans = [(int(b[0]) - int(a[0])) / 1e3 for a, b in zip(pics, pics[1:])
             if not int(a[0]) < paused < int(b[0])]
    expect(sum(spans) > 0.7 * 40 * len(spans), "paced: %.0f ms for %d gaps" %
           (sum(spans), len(spans)))

    # Turned in the middle of a group, back and forth: each picture shown is a neighbour of
    # the one before it, and the direction changes exactly twice.
    units = recorded(ctx.rec, 3, 3, begin)
    hashes = hashes_by_time(ctx, units, "forward.h264", 640, 360)
    index = {u.frame_time: i for i, u in enumerate(units)}
    r = ctx.run(["create:1", "reverse:1", "set:savefolder:" + ctx.save, "set:noaudio:1",
                 *record_commands(ctx.rec.port, key=3, begin=begin, seconds=3), "hash:1",
                 "open1", "wait_pictures:35:20000", "speed:0:2:1:1", "reset",
                 "wait_pictures:20:20000", "speed:0:1:1:1", "wait_end:60000", "close:1",
                 "destroy"])
    r.check_ok()
    pics = r.pictures()
    steps = [index.get(b[6], -99) - index.get(a[6], 99) for a, b in zip(pics, pics[1:])]
    turns = sum(1 for a, b in zip(steps, steps[1:]) if a != b)
    expect(set(steps) == {1, -1} and turns == 2, "steps between pictures %s, %d turns" %
           ("".join("+" if x == 1 else "-" if x == -1 else "[%d]" % x for x in steps), turns))
    bad = [i for i, p in enumerate(pics) if hashes.get(p[6]) != p[9]]
    expect(not bad, "%d pictures differ from the ffmpeg decode, first %s" % (len(bad), bad[:1]))

    # Turned back in the middle of a group and rewound through three more: the pictures the
    # turn passes over take no time, so every boundary keeps the frames' spacing (they held
    # the picture there 680 ms).
    r = ctx.run(["create:1", "reverse:1", "set:savefolder:" + ctx.save, "set:noaudio:1",
                 *record_commands(ctx.rec.port, key=3, begin=begin, seconds=4),
                 "open1", "wait_pictures:85:20000", "mark:turn", "speed:0:2:1:1",
                 "wait_end:60000", "close:1", "destroy"])
    r.check_ok()
    back = [p for p in r.pictures() if int(p[0]) > int(r.of("MARK")[0][1])][1:]
    t0 = e.frame_time(2024, 1, 1)
    # At each boundary: from a group's key frame (its first picture, shown last going back)
    # to the latest picture of the group before it.
    slow = [(p[6], (int(q[0]) - int(p[0])) // 1000) for p, q in zip(back, back[1:])
            if (p[6] - t0) % 10_000_000 == 0 and int(q[0]) - int(p[0]) > 2 * 40_000]
    expect(len(back) > 75 and not slow, "%d pictures back; held longer than two frame "
           "times at a boundary: %s" % (len(back), slow))


@scenario
def turn_after_end(ctx):
    """Rewound towards the start of a 20 s range until the recorder has ended the feed, then
    turned forward in place, against a recorder sending in real time (so that little of the
    range is held here): every picture after the place once, in order, to the end of the
    range, in both reverse looks."""
    units = recorded(ctx.rec, 3, 20)
    index = {u.frame_time: i for i, u in enumerate(units)}

    for mode in (1, 0):
        paced = recorder(ctx, "--pace", "1")
        r = ctx.run(["create:1", "reverse:%d" % mode, "set:savefolder:" + ctx.save,
                     "set:noaudio:1", *record_commands(paced.port, key=3, seconds=20),
                     "open1", "wait_pictures:50:20000", "mark:rewind", "speed:0:2:1:1",
                     "reset", "wait_pictures:5:20000", "checkpoint:ended", "mark:turn",
                     "speed:0:1:1:1", "wait_end:60000", "close:1", "destroy"],
                    on_checkpoint=e.recorder_ended(paced))
        r.check_ok()
        expect(r.checkpoints["ended"], "mode %d: the recorder ended the feed" % mode)
        rewind, turn = (int(m[1]) for m in r.of("MARK"))
        seen = [(int(p[0]), index.get(p[6], -1)) for p in r.pictures()]
        back = [i for t, i in seen if rewind < t < turn]
        after = [i for t, i in seen if t > turn]
        steps = {b - a for a, b in zip(after, after[1:])}
        place = [i for t, i in seen if t < rewind][-1]
        expect(len(back) >= 3 and max(back) < place, "mode %d: rewound from %d: %s" %
               (mode, place, back[:3]))
        expect(after and steps == {1} and after[-1] == len(units) - 1,
               "mode %d: after the turn pictures %s..%s of %d, steps %s" %
               (mode, after[:1], after[-1:], len(units), sorted(steps)[:5]))
        paced.close()


@scenario
def fos_merge(ctx):
    """FOS playback with two recordings of the same times in one save folder: every picture of
    both, merged by frame time with the FOS frame first on equal times, each with its source,
    its size and its own camera's bytes. A merge direction of 2 plays as rewind does (the
    recorder then sends groups in falling time)."""
    sizes = {0: (1920, 1080), 1: (1280, 720)}
    want = {0: recorded(ctx.rec, 1, 4), 1: recorded(ctx.rec, 1, 4, fosid=1)}
    r = ctx.run(["create:1", "set:savefolder:" + ctx.save, "set:noaudio:1",
                 *record_commands(ctx.rec.port), "rec:fos", "set:savefolder:" + ctx.save,
                 "set:noaudio:1", *record_commands(ctx.rec.port, extra=["set:fosid:1"]),
                 "hash:1", "openfos", "wait_end:30000", "close:1", "destroy"])
    r.check_ok()
    pics = r.pictures()
    for source in (0, 1):
        mine = [p for p in pics if p[8] == source]
        expect([p[6] for p in mine] == [u.frame_time for u in want[source]],
               "source %d: %d pictures of %d, in order" % (source, len(mine), len(want[source])))
        expect({(p[4], p[5]) for p in mine} == {sizes[source]}, "source %d: size" % source)
    expect([p[6] for p in pics] == sorted(p[6] for p in pics), "merged by frame time")
    for x, y in zip(pics, pics[1:]):
        if x[6] == y[6]:
            expect((x[8], y[8]) == (1, 0), "FOS first on equal times")
    # The camera's own bytes: each source's pictures hash like its own decode.
    for source in (0, 1):
        clip = os.path.join(ctx.work, "fos%d.h264" % source)
        with open(clip, "wb") as f:
            for u in want[source]:
                f.write(u.payload)
        ref = e.reference_hashes(ctx.host, clip, "h264", *sizes[source])
        mine = [p[9] for p in pics if p[8] == source]
        expect(mine == ref[:len(mine)], "source %d: pictures equal its own decode" % source)

    r = ctx.run(["create:1", "set:savefolder:" + ctx.save, "set:orientation:2",
                 *record_commands(ctx.rec.port, seconds=2), "rec:fos",
                 "set:savefolder:" + ctx.save, "set:orientation:2",
                 *record_commands(ctx.rec.port, seconds=2, extra=["set:fosid:1"]), "openfos",
                 "wait_end:30000", "close:1", "destroy"])
    r.check_ok()
    expect(len(r.pictures()) > 0 and r.of("END"), "direction 2 plays: %d pictures, end %s" %
           (len(r.pictures()), r.of("END")))


def counts(pid, name):
    return e.proc_counts(pid)


def close_took(r, since=0):
    """Seconds the longest close or destroy call took after time since (us)."""
    return max(int(c[3]) for c in r.of("CALL")
               if c[2] in ("close", "destroy") and int(c[1]) > since) / 1e6


@scenario
def calls_from_callbacks(ctx):
    """Every call a host may make from inside the frame callback, the end callback or the
    state-4 report neither crashes nor hangs; an open from the end callback plays the
    recording again, and one from the frame callback restarts it."""
    cmds = ["set:savefolder:" + ctx.save, "set:noaudio:1", *record_commands(ctx.rec.port,
                                                                           key=4, seconds=1)]
    whole = len(recorded(ctx.rec, 4, 1))
    everything = ("open1", "close0", "close1", "play", "pause", "speed", "destroy")
    for when, actions in (("pic", everything), ("end", everything),
                          ("state4", ("open1", "close1", "destroy"))):
        for action in actions:
            what = "%s from %s" % (action, when)
            r = ctx.run(["create:1", *cmds, "react:%s:%s" % (when, action), "open1",
                         "wait_pictures:1:20000", "wait_quiet:1000", "close:1", "destroy"],
                        timeout=60)
            expect(r.returncode == 0, "%s: host ended with %s\n%s" % (what, r.returncode,
                                                                    r.stderr[-2000:]))
            reacts = r.of("REACT")
            expect(len(reacts) == 1, "%s: the call was made: %s" % (what, reacts))
            expect(int(reacts[0][4]) < 500_000, "%s: returned at once (%s us)" %
                   (what, reacts[0][4]))
            if action == "open1" and when == "end":
                expect(len(r.pictures()) == 2 * whole, "%s: played twice: %d of %d pictures" %
                       (what, len(r.pictures()), 2 * whole))
            if action == "open1" and when == "pic":
                firsts = [p for p in r.pictures() if p[6] == r.pictures()[0][6]]
                expect(len(firsts) == 2, "%s: started again: %d" % (what, len(firsts)))
            if action == "destroy":
                after = [x for x in r.of("PIC") + r.of("STATE") + r.of("END")
                         if int(x[1]) > int(reacts[0][1])]
                expect(not after, "%s: no callback after Destroy: %s" % (what, after[:3]))
            expect(ctx.saved_files() == [], "%s: working files left" % what)


@scenario
def frame_records_bounded(ctx):
    """Without a frame callback the records kept for pictures in flight stay bounded."""
    r = ctx.run(["create:1", "set:savefolder:" + ctx.save, "set:noaudio:1", "set:framecb:0",
                 *record_commands(ctx.rec.port, key=4, seconds=4), "open1", "wait_end:30000",
                 "sleep:300", "close:1", "destroy"])
    r.check_ok()
    held = [int(t[-1]) for t in r.of("TRACE") if t[2:5] == ["frame", "records", "held:"]]
    expect(held and max(held) <= 16, "frame records held at the end: %s" % held)


if __name__ == "__main__":
    sys.exit(scenario.main(Ctx, [("--host", True), ("--recorder", False), ("--samples", False)]))
