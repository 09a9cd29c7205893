#!/usr/bin/env python3
# End-to-end tests of the media element through its exported C functions, against
# varnel-recorder's "_All" endpoint on loopback.
#
# usage: e2e.py SCENARIO --host PATH --recorder PATH --samples DIR
#
# Each scenario runs the C test host (tests/host.c); pictures are checked against the
# ffmpeg program's decode of the very access units the recorder sends.
import concurrent.futures
import os
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import driver as e  # noqa: E402

T0 = e.frame_time(2024, 1, 1)
SECOND = 10_000_000
FRAME = 400_000  # 40 ms

scenario = e.Cases()
expect = e.expect


class Ctx(e.Work):
    def run(self, port, channels, seconds, commands, begin=0, **kw):
        setting = ["set:port:%d" % port, "set:channels:" + ",".join(map(str, channels)),
                   "set:savefolder:" + self.save, "set:noaudio:1",
                   "set:begin:2024/1/1/0/%d/%d" % divmod(begin, 60),
                   "set:end:2024/1/1/0/%d/%d" % divmod(begin + seconds, 60)]
        return Log(e.HostRun(self.host, self.work, ["create", *setting, *commands],
                            api="element", **kw))

    def no_files_left(self):
        expect(os.listdir(self.save) == [], "working files left: %s" % os.listdir(self.save))


class Log:
    # The host's log, by kind of line.

    def __init__(self, run):
        self.run = run
        run.check_ok()

    def pictures(self, channel=None, since=None, until=None):
        # Presented pictures: (t_us, channel, frametime, pts, hash, duration), between the
        # marks named since and until.
        lo, hi = self.mark(since) if since else -1, self.mark(until) if until else 1 << 62
        pics = [(int(l[1]), int(l[4]), int(l[8]), float(l[11]), l[12], int(l[10]))
                for l in self.run.of("PIC") if l[5] == "1"]
        return [p for p in pics if channel in (None, p[1]) and lo < p[0] < hi]

    def times(self, channel, since=None, until=None):
        return [p[2] for p in self.pictures(channel, since, until)]

    def waits(self):
        # Channel states without a picture: (channel, status)
        return [(int(l[3]), int(l[4])) for l in self.run.of("WAIT")]

    def traces(self, prefix):
        return [(int(l[1]), t) for l in self.run.of("TRACE") if (t := " ".join(l[2:]))
                .startswith(prefix)]

    def mark(self, text):
        return [int(l[1]) for l in self.run.of("MARK") if l[2] == text][0]

    def calls(self, name):
        # (t_us, took_us) of every call of that command.
        return [(int(c[1]), int(c[3])) for c in self.run.of("CALL") if c[2] == name]


def video(port, channels, begin, seconds):
    # The video records the recorder sends: the element shows them all (the end of the feed
    # finishes the last group).
    q = e.query(key=0, begin=(2024, 1, 1, 0) + divmod(begin, 60), noaudio="True",
                end=(2024, 1, 1, 0) + divmod(begin + seconds, 60))
    return e.video_records_of(e.fetch(port, q.replace(
        "PlayBack1.cgi?Key=0", "PlayBack1_All.cgi?Key=" + ".".join(map(str, channels)))))


def reference(ctx, records, channel):
    # The ffmpeg program's decode of a channel's access units, hashed by frame time.
    return e.reference(ctx.host, ctx.work, [r for r in records if r.channel == channel])


def steps_of(times):
    return {b - a for a, b in zip(times, times[1:])}


# ---- scenarios ------------------------------------------------------------------------------

@scenario
def four_channels(ctx):
    # Channels 1-4 (1080p and 360p H.264, 720p H.265): every picture of every channel comes
    # with its channel, byte-identical to the ffmpeg program's decode of that channel's access
    # units, with the record's frame time and the pts of one base time, each at its place on one
    # time line shared by all channels (no channel drifts from it).
    channels = [1, 2, 3, 4]
    records = video(ctx.rec.port, channels, 0, 6)
    r = ctx.run(ctx.rec.port, channels, 6, ["hash:1", "open", "wait_pictures:%d:90000" %
                                        len(records), "wait_quiet:300", "close", "destroy"])
    t0 = min(p[0] for p in r.pictures())
    for c in channels:
        want = [x.frame_time for x in records if x.channel == c]
        got = r.pictures(c)
        expect([p[2] for p in got] == want, "channel %d: %d pictures" % (c, len(got)))
        expect([p[3] for p in got] == [(t - T0) / 10000 for t in want],
               "channel %d: pts is the distance from the earliest frame" % c)
        ref = reference(ctx, records, c)
        bad = [p[2] for p in got if ref.get(p[2]) != p[4]]
        expect(not bad, "channel %d: %d pictures not as ffmpeg decodes them" % (c, len(bad)))
        # Loosely, since a busy machine moves pictures and the host hashes every picture on
        # the clock's thread (the benchmark measures by how much): every channel keeps to the
        # one time line, early on as late, so no channel drifts from it or from the others.
        late = [(p[0] - t0) / 1000 - (p[2] - T0) / 10000 for p in got]
        quarter = len(late) // 4
        ends = (statistics.median(late[:quarter]), statistics.median(late[-quarter:]))
        expect(-1 < min(ends) and max(ends) < 20, "channel %d: %.1f, %.1f ms late" % ((c,) + ends))
    expect(not r.waits(), "no channel waited: %s" % r.waits()[:3])
    ctx.no_files_left()


@scenario
def speeds_and_directions(ctx):
    # Forward 1: no re-seek, limits 10000; forward 2 (4x): key frames only after one re-seek,
    # going on from the first key frame after the picture on screen (no jump); back to 0: every
    # frame again, on from there; rewind twice: one re-seek, key frames in falling time, the
    # recorder told once. (Channels 8 and 9: two minutes, 1 s and 2 s groups.)
    channels, groups = [8, 9], {8: SECOND, 9: 2 * SECOND}
    # Sent at four times real time, so that the key frames at four times the speed do not
    # take the whole recording before the speed goes back to normal.
    with ctx.recorder("--pace", "4") as rec:
        r = ctx.run(rec.port, channels, 120, [
            "open", "wait_pictures:30:30000", "mark:speed1", "forward:1",
            "wait_pictures:80:30000", "mark:speed2", "forward:2", "sleep:2500",
            "mark:speed0", "forward:0", "sleep:1500", "mark:rewind", "rewind:2", "rewind:2",
            "sleep:2500", "mark:end", "close", "destroy"])
        log = rec.log()
    limits = [t for _, t in r.traces("CQMediaElement::Forward")]
    expect(limits == ["CQMediaElement::Forward speed:%d buffer:%d,30000" % x
                      for x in ((1, 10000), (2, 20000), (0, 5000))], "limits: %s" % limits)
    seeks = [t for t, _ in r.traces("Seek ")]
    marks = ["speed1", "speed2", "speed0", "rewind", "end"]
    count = [len([t for t in seeks if r.mark(a) < t < r.mark(b)]) for a, b in zip(marks, marks[1:])]
    expect(count == [0, 1, 1, 1], "re-seeks between the calls: %s" % count)
    rewinds = [l for l in log if "command" in l and "IsSeek=True" in l]
    expect(len(rewinds) == 1 and rewinds[0].endswith("Orientation=Rewind"),
           "the recorder hears of the rewind once: %s" % rewinds)
    fast = [p[0] for p in r.pictures(8, "speed1", "speed2")][5:]
    gap = statistics.median((b - a) / 1000 for a, b in zip(fast, fast[1:]))
    expect(gap < 30, "speed 1: pictures 40 ms apart shown %.1f ms apart" % gap)
    # A call changes the reading when the clock's next tick serves its re-seek: the windows
    # start there.
    served = {m: min(t for t in seeks if t > r.mark(m)) for m in ("speed2", "speed0", "rewind")}
    # Back to every frame, both channels go on after the latest key frame shown, where the
    # time line stands, whatever their groups.
    latest = max(p[2] for p in r.pictures() if p[0] < served["speed0"])
    for c in channels:
        before = [p[2] for p in r.pictures(c) if p[0] < served["speed2"]][-1]
        keys = [p[2] for p in r.pictures(c) if served["speed2"] < p[0] < r.mark("speed0")]
        first = T0 + ((before - T0) // groups[c] + 1) * groups[c]
        expect(keys and keys[0] == first and all((t - T0) % groups[c] == 0 for t in keys),
               "channel %d: after %d, key frames only from %d at 4x: %s" % (c, before, first, keys))
        every = [p[2] for p in r.pictures(c) if served["speed0"] < p[0] < r.mark("rewind")]
        expect(every and every[0] == latest + FRAME and steps_of(every) == {FRAME},
               "channel %d: every frame again at speed 0, on from %d: %s" % (c, latest, every[:3]))
        back = [p[2] for p in r.pictures(c) if served["rewind"] < p[0]]
        expect(len(back) >= 2 and back == sorted(back, reverse=True) and
               all((t - T0) % groups[c] == 0 for t in back),
               "channel %d: key frames in falling time after the rewind: %s" % (c, back))


@scenario
def turn_after_end(ctx):
    # Rewound towards the start of a 4 s range until the recorder has ended the feed, then
    # turned forward, against a recorder sending in real time: each channel (key frames every
    # 1 s and every 2 s) shows every picture back, then every one after its place once, in
    # order, to the end of the range.
    channels = [3, 4]
    with ctx.recorder("--pace", "1") as rec:
        r = ctx.run(rec.port, channels, 4, [
            "reverse_mode:1", "open", "wait_channel:4:30:20000", "mark:rewind", "rewind:0",
            "sleep:300", "checkpoint:ended", "wait_channel:4:55:10000", "mark:turn", "forward:0",
            "wait_quiet:3000", "close", "destroy"], on_checkpoint=e.recorder_ended(rec))
    records = video(ctx.rec.port, channels, 0, 4)
    expect(r.run.checkpoints["ended"], "the recorder ended the feed")
    for c in channels:
        back, after = r.times(c, "rewind", "turn"), r.times(c, "turn")
        want = [x.frame_time for x in records if x.channel == c]
        expect(back and back[-1] < back[0], "channel %d rewound: %s" % (c, back[:3]))
        expect(after and after == want[-len(after):], "channel %d after the turn: %s..%s" %
               (c, after[:1], after[-1:]))


@scenario
def frame_steps(ctx):
    # Pause reports state 3 once with no picture and holds the pictures; each frame step
    # presents one picture per channel: forward the next frames, backward key frames going back,
    # forward again the frame after the one on screen; play goes on at once. Then smooth reverse
    # chosen after steps back: a step moves one picture either way, and a rewind shows every
    # picture backward at once, the channels in step.
    channels = [3, 4]
    plan = [("step1", "step_forward", 1), ("step2", "step_forward", 2),
            ("back1", "step_rewind", None), ("back2", "step_rewind", None),
            ("fwd", "step_forward", None)]
    cmds = ["open", "wait_pictures:150:30000", "pause", "mark:paused", "sleep:500"]
    for name, call, _ in plan:
        cmds += ["mark:" + name, call, "sleep:1000"]
    cmds += ["mark:play", "play", "sleep:3000", "mark:smooth", "pause", "step_rewind",
             "sleep:1000", "mark:s0", "reverse_mode:1", "step_rewind", "sleep:4000", "mark:s1",
             "step_forward", "sleep:1000", "mark:rewind", "rewind:0", "play", "sleep:2500",
             "mark:end", "close", "destroy"]
    r = ctx.run(ctx.rec.port, channels, 20, cmds)
    states = r.run.of("STATE")
    expect([s[2] for s in states] == ["3", "3"], "pause reported once each: %s" % states)
    expect(not r.pictures(None, "paused", "step1"), "no picture paused")
    played = r.pictures(None, "play", "smooth")
    expect(len(played) > 8 and played[0][0] - r.mark("play") < 100_000,
           "play goes on at once after the steps, from the earliest picture shown")
    names = [n for n, _, _ in plan] + ["play"]
    for c in channels:
        last = r.times(c, None, "paused")[-1]
        shown = {}
        for (name, _, ahead), following in zip(plan, names[1:]):
            shown[name] = r.times(c, name, following)
            expect(len(shown[name]) == 1, "channel %d, %s: %s" % (c, name, shown[name]))
            if ahead:
                expect(shown[name][0] == last + ahead * FRAME, "channel %d: next frames" % c)
        expect(shown["back2"] < shown["back1"] < shown["step2"] and
               all((t - T0) % SECOND == 0 for t in shown["back1"] + shown["back2"]),
               "channel %d: key frames going back: %s" % (c, shown))
        expect(shown["fwd"][0] == shown["back2"][0] + FRAME,
               "channel %d: forward after back steps: %s" % (c, shown))
        key = r.times(c, "smooth", "s0")[-1]
        steps = (r.times(c, "s0", "s1"), r.times(c, "s1", "rewind"))
        expect(steps == ([key - FRAME], [key]), "channel %d: smooth steps %s" % (c, steps))
        back = r.pictures(c, "rewind", "end")
        expect(len(back) > 20 and steps_of([p[2] for p in back]) == {-FRAME} and
               back[0][0] - r.mark("rewind") < 2_400_000,
               "channel %d: after the rewind %s" % (c, [p[2] for p in back[:5]]))


@scenario
def file_mode(ctx):
    # fileMode 1 with channels whose key frames fall together: every picture once; SetPos(50)
    # goes on from the middle group of the index, and Seek from the group that starts at the
    # time given, at once, the pictures after it byte-exact; two and four channels. With another
    # file mode neither call moves. The feed stalls for a while, so the reader catches up with it
    # and must go on once more groups come.
    for channels in ([3, 4], [3, 4, 8, 9]):
        with ctx.recorder("--stall", "30:800") as rec:
            records = video(rec.port, channels, 0, 4)
            ref = reference(ctx, records, 3)
            # The index: a group at every key frame, in time order, ties in order of arrival;
            # SetPos(50) takes the group half way, counted from one.
            starts = sorted(x.frame_time for x in records if x.key == 1)
            middle = starts[max(0, -(-len(starts) // 2) - 1)]
            # Another file mode (one channel count is enough for that) moves on neither call.
            for mode in (1, 2) if len(channels) == 2 else (1,):
                r = ctx.run(rec.port, channels, 4, [
                    "hash:1", "set:filemode:%d" % mode, "set:filename:" +
                    os.path.join(ctx.save, "feed.bin"), "open",
                    "wait_pictures:%d:30000" % len(records), "wait_quiet:300", "mark:setpos",
                    "setpos:50", "sleep:1500", "mark:seek", "seek:2024/1/1/0/0/3/0", "sleep:1000",
                    "mark:end", "close", "destroy"])
                whole = r.pictures(None, None, "setpos")
                expect(sorted((p[1], p[2]) for p in whole) ==
                       sorted((x.channel, x.frame_time) for x in records),
                       "%s mode %d: %d of the pictures" % (channels, mode, len(whole)))
                setpos, seek = r.pictures(None, "setpos", "seek"), r.pictures(None, "seek", "end")
                if mode != 1:
                    expect(not setpos and not seek, "file mode 2: no move")
                    continue
                for name, mark, got, at in (("SetPos(50)", "setpos", setpos, middle),
                                            ("Seek", "seek", seek, T0 + 3 * SECOND)):
                    # Pictures on their way as the call came may still show before the move.
                    land = [k for k, p in enumerate(got) if p[2] == at]
                    expect(land and got[land[0]][0] - r.mark(mark) < 500_000,
                           "%s %s: lands on %d at once: %s" % (channels, name, at, got[:3]))
                    ch3 = [p for p in got[land[0]:] if p[1] == 3]
                    expect(len(ch3) > 10 and steps_of([p[2] for p in ch3]) == {FRAME} and
                           all(ref[p[2]] == p[4] for p in ch3),
                           "%s %s: channel 3 goes on every frame, byte-exact" % (channels, name))
    ctx.no_files_left()


@scenario
def holes(ctx):
    # Channel 6 has a 40 s hole after 10 s, channel 7 one of 36 s: channel 7 is reported
    # waiting once; playback jumps the hole at once, both channels alike, every picture in order;
    # pause, a step and play after the hole go on at once. A channel with no recording in the
    # range beside one with: pictures at once, the empty one reported waiting. A 10-minute hole
    # in one of two channels buffers nothing of the other beyond the queues' bounds.
    # From 5 s to 53 s: 5 s before the holes, 3 s after them.
    records = video(ctx.rec.port, [6, 7], 5, 48)
    r = ctx.run(ctx.rec.port, [6, 7], 48, [
        "open", "wait_pictures:370:60000", "pause", "mark:step", "step_forward", "sleep:300",
        "mark:play", "play", "wait_pictures:%d:60000" % len(records), "wait_quiet:300", "close",
        "destroy"], begin=5, timeout=120)
    expect(r.waits() == [(7, 2)], "channel 7 waits once: %s" % r.waits())
    expect(sorted(p[2] for p in r.pictures()) == sorted(x.frame_time for x in records),
           "every picture: %d of %d" % (len(r.pictures()), len(records)))
    for c, resume in ((6, 50), (7, 46)):
        pics = r.pictures(c)
        i = next(i for i, p in enumerate(pics) if (p[2] - T0) // SECOND >= resume)
        took = (pics[i][0] - pics[i - 1][0]) / 1e6
        want = 0.04 if c == 7 else 4.04
        expect(abs(took - want) < 0.2, "channel %d: %.2f s over the hole" % (c, took))
    expect(len(r.pictures(None, "step", "play")) == 2, "the step after the hole: two pictures")
    after = r.pictures(None, "play")
    expect(after[0][0] - r.mark("play") < 100_000 and len(after) > 40,
           "play after the step goes on at once")

    r = ctx.run(ctx.rec.port, [4, 8], 60, ["open", "wait_channel:8:25:5000", "sleep:1000", "close",
                                      "destroy"], begin=30)
    opened = sum(r.calls("open")[0])  # the recorder has answered
    expect(r.pictures()[0][0] - opened < 1_000_000, "pictures within 1 s")
    expect(r.waits() == [(4, 2)], "channel 4 waits: %s" % r.waits())

    # From 18 s on, so that the hole comes after 2 s: 4 s into it, then 3 s more.
    r = ctx.run(ctx.rec.port, [50, 51], 705, ["open", "wait_channel:50:150:30000", "sleep:3000",
                                         "checkpoint:peak", "close", "destroy"], begin=18,
                on_checkpoint=lambda pid, name: e.peak_rss_mib(pid), timeout=120)
    # Sixty pictures of the queues and a few decoders' worth of 720p: far less than the
    # 300 MiB of access units the recorder has sent by now.
    expect(r.run.checkpoints["peak"] < 200, "peak memory %.0f MiB" % r.run.checkpoints["peak"])
    ctx.no_files_left()


@scenario
def close_races(ctx):
    # Close from inside the callback returns at once and no callback follows, also when the
    # callback goes on calling into the element; Destroy from inside it frees the element when
    # the callback returns. A close on the host's thread while the callback calls Play, Pause or
    # a step: 50 rounds, each close under a second, nothing left behind.
    r = ctx.run(ctx.rec.port, [3, 4], 20, [
        "close_in_callback:30", "act:play:0", "open", "wait_pictures:30:30000", "sleep:500",
        "mark:later", "act:none:0", "open", "wait_pictures:60:30000", "close", "destroy"])
    closed = r.mark("close_returned")
    expect(closed - r.mark("close_in_callback") < 20_000, "Close inside returns at once")
    expect(not r.pictures(None, "close_returned", "later"), "no picture after the close")
    expect(len(r.pictures(None, "later")) >= 30, "the element opens again afterwards")

    # The element is freed on its clock thread once the callback has returned; the host
    # waits for the last trace of that (the source's destructor) before it ends.
    r = ctx.run(ctx.rec.port, [3, 4], 20, [
        "destroy_in_callback:30", "open", "wait_pictures:30:30000",
        "wait_trace:~CQHttpClient(void)--:30000", "sleep:300"])
    expect(r.mark("destroy_returned") - r.mark("destroy_in_callback") < 20_000,
           "Destroy inside returns at once")
    expect(not r.pictures(None, "destroy_returned"), "no picture after the destroy")

    # Each round a new element, so that the rounds also show what a cycle of create,
    # open, close and destroy leaves behind: no thread, descriptor or working file.
    cmds = ["checkpoint:before"]
    for i in range(50):
        cmds += ["create", "act:%s:15" % ("play", "pause", "step_forward")[i % 3], "open",
                 "sleep:%d" % (150 + 37 * (i % 7)), "close", "destroy"]
    warm = ["open", "wait_pictures:1:30000", "close", "destroy"]
    r = ctx.run(ctx.rec.port, [3, 4], 20, warm + cmds + ["sleep:200", "checkpoint:after"],
                on_checkpoint=e.proc_counts, timeout=240)
    took = [t for _, t in r.calls("close")]
    expect(len(took) == 51 and max(took) < 1_000_000, "closes took up to %d us" % max(took))
    counts = r.run.checkpoints
    expect(counts["after"] == counts["before"], "threads and descriptors %s" % counts)
    ctx.no_files_left()


@scenario
def bad_input(ctx):
    # A NULL element or record is refused by every export, and Close and Destroy take NULL;
    # speed exponents far out of range play at the nearest speed there is; 300 channels make a
    # URL that is sent whole; the account in the address is traced without its password.
    channels = list(range(1, 301))
    r = ctx.run(ctx.rec.port, [3], 20, [
        "null_calls", "open", "wait_pictures:10:30000", "forward:-2000000000", "sleep:300",
        "forward:2000000000", "sleep:300", "rewind:-2000000000", "sleep:300",
        "rewind:2000000000", "sleep:300", "forward:0", "mark:normal", "sleep:1500",
        "set:channels:" + ",".join(map(str, channels)), "set:host:alice:s3cret@127.0.0.1",
        "open", "sleep:300", "close", "destroy"])
    expect(r.run.of("NULLS")[0][2] == "1", "NULL refused everywhere")
    expect(len(r.pictures(3, "normal")) > 10, "plays on at normal speed")
    key = "Key=" + ".".join(map(str, channels)) + ","
    expect([t for _, t in r.traces("http://alice:***@") if key in t], "URL or account traced")
    expect(not [l for l in r.run.lines if "s3cret" in " ".join(l)], "a password in a trace")


@scenario
def faults(ctx):
    # Four channels against a recorder that refuses, stays silent, cuts a record, stalls or
    # asks for authorization forever: each close takes under a second and leaves no thread,
    # descriptor or working file.
    rows = [("refused", None), ("silent", ["--no-answer"]), ("cut", ["--cut-record", "30"]),
            ("stalled", ["--stall", "30:5000"]), ("401", ["--auth", "basic", "--password", "x"])]

    def row(name, options):
        save = os.path.join(ctx.work, name)  # the rows run side by side
        os.makedirs(save)
        peer = ctx.recorder(*options) if options is not None else None
        with peer or e.Child():
            r = ctx.run(peer.port if peer else e.free_port(), [1, 2, 3, 4], 4, [
                "set:savefolder:" + save, "open", "sleep:300", "close", "checkpoint:before",
                "open", "sleep:1500", "close", "sleep:200", "checkpoint:after", "destroy"],
                on_checkpoint=e.proc_counts)
        took = max(t for _, t in r.calls("close")) / 1e6
        b, a = r.run.checkpoints["before"], r.run.checkpoints["after"]
        bad = took >= 1 or a != b or os.listdir(save)
        return bad and "%s: close %.3f s, counts %s -> %s, files %s" % (name, took, b, a,
                                                                         os.listdir(save))
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        failed = [f for f in pool.map(lambda r: row(*r), rows) if f]
    expect(not failed, "; ".join(failed))

if __name__ == "__main__":
    sys.exit(scenario.main(Ctx, [("--host", True), ("--recorder", True), ("--samples", True)]))
