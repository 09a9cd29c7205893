#!/usr/bin/env python3
# End-to-end tests of the playback object through its exported C functions.
#
# usage: e2e.py SCENARIO --host PATH --recorder PATH --samples DIR
#
# Each scenario runs the C test host against the substitute recorder with the sample catalogue on
# loopback; pictures are checked against the ffmpeg program's own decode of the access units.
import array
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import driver as e  # noqa: E402

R0 = e.frame_time(2024, 1, 1)
FRAME = 400_000  # 40 ms in frame-time units
DONE = ["close:1", "destroy"]

scenario = e.Cases()
expect = e.expect


class Ctx(e.Work):
    def run(self, commands, **kw):
        r = e.HostRun(self.host, self.work, ["create:1", *commands], **kw)
        r.check_ok()
        return r

    def record(self, port, key=1, seconds=4, begin=(2024, 1, 1, 0, 0, 0)):
        # The set: commands of a record of the range, sound left out.
        return ["set:savefolder:" + self.save, "set:noaudio:1", "set:port:%d" % port,
                "set:key:%d" % key, "set:begin:" + "/".join(map(str, begin)),
                "set:end:" + "/".join(map(str, begin[:5] + (begin[5] + seconds,)))]

    def decoded(self, pics, units, size, what):
        # Every picture equal to the ffmpeg decode of its access unit.
        ref = e.reference(self.host, self.work, units, size)
        bad = [i for i, p in enumerate(pics) if ref.get(p[6]) != p[9]]
        expect(not bad, "%s: %d of %d pictures not as ffmpeg decodes" % (what, len(bad), len(pics)))


def recorded(rec, key, seconds, begin=(2024, 1, 1, 0, 0, 0), fosid=0, audio=False, **kw):
    # What the recorder sends for a range (video records unless audio), by a plain client.
    recs = e.fetch(rec.port, e.query(key=key, fosid=fosid, begin=begin, fos=fosid != 0,
                                     end=begin[:5] + (begin[5] + seconds,),
                                     noaudio="False" if audio else "True", **kw))
    return recs if audio else e.video_records_of(recs)


def marks(r):
    return [int(m[1]) for m in r.of("MARK")]


def requests(log):
    return [l.split(" ", 4)[4] for l in log if l.split(" ")[1:2] == ["request"]]


def commands_by_connection(log):
    # (connection id, command line) in arrival order.
    return [(int(p[2]), p[3]) for p in (l.split(" ", 3) for l in log)
            if len(p) == 4 and p[1] == "command"]


@scenario
def end_and_stop(ctx):
    # The end callback comes once with the main source's feed state, after every picture, then
    # state 4; Stop(true) returns after the threads have ended, with no callback after it and no
    # state 4; Stop(false) returns at once and state 4 follows; opened again, the object plays
    # again from the start; pause holds the picture and the position, and play continues with
    # the next picture.
    r = ctx.run([*ctx.record(ctx.rec.port, 3, 2), "open1", "wait_end:30000", "wait_state4:5000",
                 "wait_quiet:300", *DONE])
    ends, states, pics = r.of("END"), r.of("STATE"), r.pictures()
    expect(len(ends) == 1 and ends[0][2] == "101", "one end callback, feed state 101: %s" % ends)
    expect([s[2] for s in states] == ["4"], "state 4 once: %s" % states)
    expect(pics[-1][0] < int(ends[0][1]) < int(states[0][1]), "pictures, then end, then state 4")
    expect([p[6] for p in pics] == [u.frame_time for u in recorded(ctx.rec, 3, 2)],
           "every picture before the end")

    setting = ctx.record(ctx.recorder("--pace", "1").port, 3, 4)
    r = ctx.run([*setting, "open1", "checkpoint:playing", "wait_pictures:10:20000", "close:1",
                 "mark:closed", "sleep:300", "checkpoint:after", "destroy"],
                on_checkpoint=e.proc_counts)
    expect(not r.of("STATE"), "a waiting stop reports no state 4")
    expect(all(p[0] < marks(r)[0] for p in r.pictures()), "nothing after Stop(true) returned")
    expect(r.checkpoints["after"][0] < r.checkpoints["playing"][0], "threads gone after Stop(true)")

    r = ctx.run([*setting, "open1", "wait_pictures:5:20000", "close:0", "mark:returned",
                 "wait_state4:5000", "close:1", "reset", "mark:reopen", "open1",
                 "wait_pictures:10:20000", "pause", "mark:paused", "sleep:500", "mark:resume",
                 "play", "wait_pictures:20:20000", *DONE])
    returned, reopen, paused, resume = marks(r)
    took = [int(c[3]) for c in r.of("CALL") if c[2] == "close"][0]
    expect(took < 50_000, "Stop(false) returns at once (%d us)" % took)
    expect(int(r.of("STATE")[0][1]) >= returned, "state 4 follows")
    again = [p[6] for p in r.pictures() if p[0] > reopen]
    expect(again == [R0 + i * FRAME for i in range(len(again))] and len(again) >= 20,
           "plays again from the start, no picture lost or repeated: %s" % again[:2])
    expect(not [p for p in r.pictures() if paused + 20_000 < p[0] < resume], "a picture paused")
    expect([s[2] for s in r.of("STATE") if int(s[1]) > reopen][:2] == ["3", "2"], "pause, play")


@scenario
def speeds(ctx):
    # Picture intervals follow the frame duration divided by the speed factor.
    # On file, whose flow control never holds the recorder: what is measured is the pacing,
    # not how soon a held recorder sends again; 320x240 (key 5), as light as a picture comes.
    for exponent in (-1, 0, 1, 2, 3):
        r = ctx.run([*ctx.record(ctx.rec.port, 5, 2), "set:onfile:1", "set:writefile:speeds",
                     "set:speed:%d" % exponent, "open1", "wait_end:60000", *DONE])
        t = [p[0] for p in r.pictures()][5:]
        ideal = 40 / 2 ** exponent
        med = statistics.median((b - a) / 1000 for a, b in zip(t, t[1:]))
        # slack for a loaded machine; at 8x (5 ms a picture) decoding bounds the rate
        expect(abs(med - max(ideal, 5)) <= 10, "speed %d: median gap %.1f ms" % (exponent, med))
        # At 8x a picture that comes late is shown late rather than dropped: the span then
        # measures how fast a loaded machine decodes, a figure of the benchmark.
        span = (t[-1] - t[0]) / 1000
        expect(ideal <= 5 or abs(span - ideal * (len(t) - 1)) <= 0.15 * ideal * len(t) + 20,
               "speed %d: %d pictures in %.0f ms" % (exponent, len(t), span))


@scenario
def audio(ctx):
    # With SDL's disk driver the device receives exactly libswresample's conversion of the µ-law
    # decode (mono: the decode itself; two channels: the conversion the ffmpeg program makes with
    # the same library), in order, and zeros while paused.
    ulaw = b"".join(r.payload for r in recorded(ctx.rec, 1, 3, audio=True) if r.kind == 2)
    for channels in (1, 2):
        out = os.path.join(ctx.work, "audio%d.raw" % channels)
        env = {"SDL_AUDIODRIVER": "disk", "SDL_DISKAUDIOFILE": out,
               **({"SDL_AUDIO_CHANNELS": "2"} if channels == 2 else {})}
        ctx.run([*ctx.record(ctx.rec.port, 1, 3), "set:noaudio:0", "open1",
                 "wait_pictures:25:20000", "pause", "sleep:1000", "play", "wait_end:30000",
                 "sleep:300", *DONE], env=env)
        want = subprocess.run(["ffmpeg", "-v", "error", "-f", "mulaw", "-ar", "8000", "-ac", "1",
                               "-i", "-", "-ac", str(channels), "-f", "s16le", "-"], input=ulaw,
                              capture_output=True, check=True).stdout
        got, want = (array.array("h", raw[:len(raw) // 2 * 2]) for raw in
                     (open(out, "rb").read(), want))
        nz_got, nz_want = [x for x in got if x], [x for x in want if x]
        expect(nz_got == nz_want, "%d channels: %d of %d samples as converted" %
               (channels, sum(1 for a, b in zip(nz_got, nz_want) if a == b), len(nz_want)))
        longest = max(len(z) for z in bytes(bool(x) for x in got).split(b"\1"))
        expect(longest >= 0.6 * 8000 * channels, "zeros while paused: longest run %d" % longest)


@scenario
def request_line(ctx):
    # The request line at the recorder for a record with every field set, byte for byte (blanks
    # as %20 on the wire); DirectURL goes out unchanged and wins over the other fields.
    direct = ("/PlayBack1.cgi?Key=3,SubKey=0,FosID=0,BeginTime=2024/01/01 00:00:00.000,"
              "EndTime=2024/01/01 00:00:01.000,Resolution=0,Orientation=Forward,"
              "IsOnlyKeyFrame=False,NoAudio=True")
    for fields in (["set:key:1", "set:subkey:7", "set:fosid:3", "set:resolution:2",
                    "set:begin:2020/1/2/3/4/5", "set:end:2020/1/2/3/4/59", "set:orientation:2",
                    "set:keyonly:2", "set:noaudio:1"],
                   ["set:key:9", "set:direct:http://127.0.0.1:%d%s" % (ctx.rec.port, direct)]):
        ctx.run(["set:savefolder:" + ctx.save, "set:port:%d" % ctx.rec.port, *fields, "open1",
                 "wait_end:10000", *DONE])
    # The recorder logs from its connection threads: wait for both lines, not a fixed time.
    e.wait_for(lambda: len(requests(ctx.rec.log())) >= 2, 10, "two requests")
    got = requests(ctx.rec.log())
    want = ["/PlayBack1.cgi?Key=1,SubKey=7,FosID=3,BeginTime=2020/01/02%2003:04:05.000,"
            "EndTime=2020/01/02%2003:04:59.000,Resolution=2,Orientation=Rewind,"
            "IsOnlyKeyFrame=False,NoAudio=True", direct.replace(" ", "%20")]
    expect(got == want, "request lines:\n  %s\nwant\n  %s" % (got, want))


@scenario
def commands_reach_recorder(ctx):
    # Pause and play from the host reach both recorders as Type lines; speed 1 with apply
    # false sends nothing, with apply key frames only on both. (On-file mode, whose flow control
    # never holds a recorder, so that only the host's lines go out.) The two lines of a call
    # leave on two connections served by two recorder threads, in either order: each connection's
    # own sequence is what is checked.
    rec = ctx.recorder("--pace", "1")
    calls = [c for call in ("pause", "play", "pause", "play", "speed:1:1:0:0", "speed:1:1:1:0",
                            "speed:0:1:0:0") for c in (call, "sleep:500")]
    on_file = ["set:noaudio:0", "set:onfile:1"]
    ctx.run([*ctx.record(rec.port, 1, 10), *on_file, "set:writefile:main.feed", "rec:fos",
             *ctx.record(rec.port, 1, 10), *on_file, "set:fosid:1", "set:writefile:fos.feed",
             "openfos", "wait_pictures:10:20000", "sleep:300", *calls, *DONE])
    time.sleep(0.3)
    log = rec.log()
    conns = {int(p[2]): "fos" if "PlayBack1_FOS" in p[4] else "main"
             for p in (l.split(" ", 4) for l in log) if p[1:2] == ["request"]}
    # A source's record of what it sent starts as a paused one, so the first Pause, with nothing
    # sent before it, changes nothing and stays unsent; every change after it goes out.
    want = ["Type=%s,OnlyeKyFrame=%d,NOAudio=0" % c
            for c in (("Play", 0), ("Pause", 0), ("Play", 0), ("Play", 1))]
    for side in ("main", "fos"):
        mine = [line for c, line in commands_by_connection(log) if conns[c] == side]
        expect(mine == want, "%s command lines:\n  %s\nwant\n  %s" % (side, mine, want))


@scenario
def no_stall(ctx):
    # A recorder that sends in real time and honours Pause at once, with 1 s groups: flow
    # control and the reader's readiness rule must not hold each other; the clip plays to its end
    # callback, at normal and at half speed, and paused before the first picture and resumed
    # (Play toggles).
    rec = ctx.recorder("--pace", "1")
    whole = len(recorded(rec, 3, 4))
    for what, cmds in (("speed 0", ["open1"]), ("speed -1", ["set:speed:-1", "open1"]),
                       ("paused first", ["open1", "sleep:300", "play", "sleep:1000", "play"])):
        r = ctx.run([*ctx.record(rec.port, 3, 4), "set:noaudio:0", *cmds, "wait_end:40000",
                     *DONE], timeout=90)
        expect(r.of("END") and r.of("END")[0][2] == "101", "%s: end callback: %s" %
               (what, r.of("END") or r.of("TIMEOUT")))
        expect(len(r.pictures()) == whole, "%s: %d pictures" % (what, len(r.pictures())))
    expect([c for c in commands_by_connection(rec.log()) if c[1].startswith("Type=Pause")],
           "flow control did hold the recorder")


@scenario
def pictures(ctx):
    # Every picture of the 1080p H.264 and the 720p H.265 clip, and of a recording whose records
    # change from "h264" to "hevc" (the decoder is reopened), is byte-identical to the ffmpeg
    # program's BGR24 decode of its access unit (fast bilinear), in order, with the record's time
    # and size: the last group finished by the end of the feed, the decoder drained before the
    # end callback.
    for key, seconds, begin, size in ((1, 4, 0, (1920, 1080)), (2, 6, 0, (1280, 720)),
                                      (5, 4, 8, (320, 240))):
        begin = (2024, 1, 1, 0, 0, begin)
        units = recorded(ctx.rec, key, seconds, begin)
        r = ctx.run([*ctx.record(ctx.rec.port, key, seconds, begin), "hash:1", "open1",
                     "wait_end:60000", *DONE])
        pics = r.pictures()
        expect([p[6] for p in pics] == [u.frame_time for u in units],
               "key %d: %d pictures of %d, at the records' times" % (key, len(pics), len(units)))
        ctx.decoded(pics, units, size, "key %d" % key)
        expect({(p[4], p[5]) for p in pics} == {size}, "key %d: size" % key)
    expect(len({u.codec for u in units}) == 2, "the last range crosses the change of codec")


@scenario
def smooth_reverse(ctx):
    # Smooth reverse over three groups: every picture of the range once, in falling frame
    # time, spaced by the frame durations, each byte-identical to the ffmpeg program's decode of
    # its access unit; a pause in the middle of a group goes on with the neighbour of the last
    # picture shown.
    begin = (2024, 1, 1, 0, 0, 5)
    setting = ["reverse:1", *ctx.record(ctx.rec.port, 3, 3, begin), "hash:1"]
    # What the recorder sends for the rewind (whole groups), put back in forward order.
    units = sorted(recorded(ctx.rec, 3, 3, begin, orientation="Rewind"),
                   key=lambda u: u.frame_time)
    r = ctx.run([*setting, "set:orientation:2", "open1", "wait_pictures:35:20000", "pause",
                 "mark:paused", "sleep:400", "play", "wait_end:60000", *DONE])
    pics = r.pictures()
    times, want = [p[6] for p in pics], sorted((u.frame_time for u in units), reverse=True)
    expect(times == want, "%d pictures in falling time, want %d; first out of place at %s" %
           (len(times), len(want), next((i for i, (a, b) in enumerate(zip(times, want))
                                          if a != b), min(len(times), len(want)))))
    ctx.decoded(pics, units, (640, 360), "smooth reverse")
    paused = marks(r)[0]
    expect(30 <= len([p for p in pics if p[0] < paused]) < len(pics), "paused in the middle")
    # Shown at the pace of the frames (40 ms), not all at once; a lower bound only.
    spans = [(b[0] - a[0]) / 1e3 for a, b in zip(pics, pics[1:]) if not a[0] < paused < b[0]]
    expect(sum(spans) > 0.7 * 40 * len(spans), "paced: %.0f ms, %d gaps" % (sum(spans), len(spans)))

    # Turned in the middle of a group, back and forth: each picture shown is a neighbour of
    # the one before it, and the direction changes exactly twice.
    units = recorded(ctx.rec, 3, 3, begin)
    index = {u.frame_time: i for i, u in enumerate(units)}
    r = ctx.run([*setting, "open1", "wait_pictures:35:20000", "speed:0:2:1:1", "reset",
                 "wait_pictures:20:20000", "speed:0:1:1:1", "wait_end:60000", *DONE])
    pics = r.pictures()
    steps = [index.get(b[6], -99) - index.get(a[6], 99) for a, b in zip(pics, pics[1:])]
    turns = sum(1 for a, b in zip(steps, steps[1:]) if a != b)
    expect(set(steps) == {1, -1} and turns == 2, "steps between pictures %s, %d turns" %
           ("".join("+" if x == 1 else "-" if x == -1 else "[%d]" % x for x in steps), turns))
    ctx.decoded(pics, units, (640, 360), "smooth reverse")

    # Turned back in the middle of a group and rewound through three more: the pictures the
    # turn passes over take no time, so every boundary keeps the frames' spacing (they held
    # the picture there 680 ms).
    r = ctx.run(["reverse:1", *ctx.record(ctx.rec.port, 3, 4, begin), "open1",
                 "wait_pictures:85:20000", "mark:turn", "speed:0:2:1:1", "wait_end:60000",
                 *DONE])
    back = [p for p in r.pictures() if p[0] > marks(r)[0]][1:]
    # At each boundary: from a group's key frame (its first picture, shown last going back)
    # to the latest picture of the group before it.
    slow = [(p[6], (q[0] - p[0]) // 1000) for p, q in zip(back, back[1:])
            if (p[6] - R0) % 10_000_000 == 0 and q[0] - p[0] > 2 * 40_000]
    expect(len(back) > 75 and not slow, "%d back; held at a boundary: %s" % (len(back), slow))


@scenario
def turn_after_end(ctx):
    # Rewound towards the start of a 5 s range until the recorder has ended the feed, then
    # turned forward in place, against a recorder sending in real time (so that little of the
    # range is held here): every picture after the place once, in order, to the end of the
    # range, in both reverse looks.
    units = recorded(ctx.rec, 3, 5)
    index = {u.frame_time: i for i, u in enumerate(units)}
    for mode in (1, 0):
        with ctx.recorder("--pace", "1") as paced:
            r = ctx.run(["reverse:%d" % mode, *ctx.record(paced.port, 3, 5), "open1",
                         "wait_pictures:50:20000", "mark:rewind", "speed:0:2:1:1", "reset",
                         "wait_pictures:5:20000", "checkpoint:ended", "mark:turn",
                         "speed:0:1:1:1", "wait_end:60000", *DONE],
                        on_checkpoint=e.recorder_ended(paced))
        expect(r.checkpoints["ended"], "mode %d: the recorder ended the feed" % mode)
        rewind, turn = marks(r)
        seen = [(p[0], index.get(p[6], -1)) for p in r.pictures()]
        back = [i for t, i in seen if rewind < t < turn]
        after = [i for t, i in seen if t > turn]
        place = [i for t, i in seen if t < rewind][-1]
        expect(len(back) >= 3 and max(back) < place, "mode %d: back from %d" % (mode, place))
        expect(after and after == list(range(after[0], len(units))),
               "mode %d: after the turn %s of %d" % (mode, after[:1] + after[-1:], len(units)))


@scenario
def fos_merge(ctx):
    # FOS playback with two recordings of the same times in one save folder: every picture of
    # both, merged by frame time with the FOS frame first on equal times, each with its source,
    # its size and its own camera's bytes. A merge direction of 2 plays as rewind does (the
    # recorder then sends groups in falling time).
    sizes = {0: (1920, 1080), 1: (1280, 720)}
    r = ctx.run([*ctx.record(ctx.rec.port), "rec:fos", *ctx.record(ctx.rec.port), "set:fosid:1",
                 "hash:1", "openfos", "wait_end:30000", *DONE])
    pics = r.pictures()
    for source in (0, 1):
        want = recorded(ctx.rec, 1, 4, fosid=source)
        mine = [p for p in pics if p[8] == source]
        expect([p[6] for p in mine] == [u.frame_time for u in want],
               "source %d: %d pictures of %d, in order" % (source, len(mine), len(want)))
        expect({(p[4], p[5]) for p in mine} == {sizes[source]}, "source %d: size" % source)
        ctx.decoded(mine, want, sizes[source], "source %d" % source)
    expect([p[6] for p in pics] == sorted(p[6] for p in pics), "merged by frame time")
    expect(all((x[8], y[8]) == (1, 0) for x, y in zip(pics, pics[1:]) if x[6] == y[6]),
           "FOS first on equal times")

    r = ctx.run([*ctx.record(ctx.rec.port, 1, 2), "set:orientation:2", "rec:fos",
                 *ctx.record(ctx.rec.port, 1, 2), "set:orientation:2", "set:fosid:1", "openfos",
                 "wait_end:30000", *DONE])
    expect(r.pictures() and r.of("END"), "direction 2 plays: %s" % r.of("END"))


@scenario
def calls_from_callbacks(ctx):
    # Every call a host may make from inside the frame callback, the end callback or the
    # state-4 report neither crashes nor hangs; an open from the end callback plays the
    # recording again, and one from the frame callback restarts it. At 4x: no row needs the
    # pace. (A host each row: in one process, after an object that turned its sound on and one
    # destroyed from its frame callback, an open from the end callback found the sound device
    # still open.)
    setting = [*ctx.record(ctx.rec.port, 4, 1), "set:speed:2"]
    whole = len(recorded(ctx.rec, 4, 1))
    everything = ("open1", "close:0", "close:1", "play", "pause", "speed:1:1:1:0", "destroy")
    for when, actions in (("pic", everything), ("end", everything),
                          ("state4", ("open1", "close:1", "destroy"))):
        for action in actions:
            what = "%s from %s" % (action, when)
            # Waits for the callback, and for the second play an open from it starts; then for
            # the end of the calls it makes.
            again = {"pic": 2, "end": 2 * whole}.get(when, 1) if action == "open1" else 1
            wait = {"pic": "wait_pictures:1", "end": "wait_end", "state4": "wait_state4"}[when]
            r = ctx.run([*setting, "react:%s:%s" % (when, action), "open1", wait + ":20000",
                         "wait_pictures:%d:20000" % again, "wait_quiet:300", *DONE], timeout=60)
            reacts = r.of("REACT")
            expect(len(reacts) == 1 and int(reacts[0][4]) < 500_000,
                   "%s: the call was made and returned at once: %s" % (what, reacts))
            pics = r.pictures()
            if action == "open1" and when == "end":
                expect(len(pics) == 2 * whole, "%s: played twice: %d pictures" % (what, len(pics)))
            if action == "open1" and when == "pic":
                expect(len([p for p in pics if p[6] == pics[0][6]]) == 2, "%s: started again" %
                       what)
            after = [x for x in r.of("PIC") + r.of("STATE") + r.of("END")
                     if int(x[1]) > int(reacts[0][1])]
            expect(action != "destroy" or not after, "%s: after Destroy: %s" % (what, after[:3]))
            expect(os.listdir(ctx.save) == [], "%s: working files left" % what)


@scenario
def frame_records_bounded(ctx):
    # Without a frame callback the records kept for pictures in flight stay bounded.
    r = ctx.run([*ctx.record(ctx.rec.port, 4, 4), "set:framecb:0", "open1", "wait_end:30000",
                 "sleep:300", *DONE])
    held = [int(t[-1]) for t in r.of("TRACE") if t[2:5] == ["frame", "records", "held:"]]
    expect(held and max(held) <= 16, "frame records held at the end: %s" % held)


@scenario
def no_password_in_traces(ctx):
    # With the account in the address, Basic and Digest: the recorder is reached, and no trace
    # line, error output or working file holds the password; the traces show alice:***@.
    for auth in ("basic", "digest"):
        with ctx.recorder("--auth", auth, "--user", "alice", "--password", "s3cret") as rec:
            r = ctx.run([*ctx.record(rec.port, 1, 1), "set:ip:alice:s3cret@127.0.0.1", "open1",
                         "wait_end:20000", *DONE])
        expect(r.pictures(), "%s: no picture with the account" % auth)
        expect(any("alice:***@" in " ".join(l) for l in r.of("TRACE")), "%s: traces" % auth)
        files = [os.path.join(d, f) for d, _, fs in os.walk(ctx.work) for f in fs]
        leaks = [f for f in files if b"s3cret" in open(f, "rb").read()]
        expect(not leaks and "s3cret" not in r.stderr, "%s: the password in %s" % (auth, leaks))


if __name__ == "__main__":
    sys.exit(scenario.main(Ctx, [("--host", True), ("--recorder", True), ("--samples", True)]))
