#!/usr/bin/env python3
"""End-to-end tests of the media element through its exported C functions, against
varnel-recorder's "_All" endpoint on loopback.

usage: e2e.py SCENARIO --host PATH --recorder PATH --samples DIR

Each scenario runs the C test host (tests/element/host.c); pictures are checked against the
ffmpeg program's decode of the very access units the recorder sends."""
import os
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "playback_api"))
import e2e_lib as e  # noqa: E402

T0 = e.frame_time(2024, 1, 1)
SECOND = 10_000_000
FRAME = 400_000  # 40 ms

scenario = e.Cases()
expect = e.expect


class Ctx:
    def __init__(self, args):
        self.host, self.exe, self.samples = args.host, args.recorder, args.samples
        self.work = e.temp_dir()
        self.save = os.path.join(self.work, "save")
        os.makedirs(self.save)

    def recorder(self, *extra):
        return e.Recorder(self.exe, self.samples, self.work, *extra)

    def run(self, rec, channels, seconds, commands, begin=0, **kw):
        setting = ["set:port:%d" % rec.port, "set:channels:" + ",".join(map(str, channels)),
                   "set:savefolder:" + self.save, "set:noaudio:1",
                   "set:begin:2024/1/1/0/%d/%d" % divmod(begin, 60),
                   "set:end:2024/1/1/0/%d/%d" % divmod(begin + seconds, 60)]
        return e.HostRun(self.host, self.work, ["create", *setting, *commands], **kw)

    def saved_files(self):
        return os.listdir(self.save)


class Log:
    """The host's log, by kind of line."""

    def __init__(self, run):
        self.run = run
        run.check_ok()

    def pictures(self, channel=None):
        """Presented pictures: (t_us, channel, frametime, pts, hash, duration)"""
        out = []
        for l in self.run.of("PIC"):
            if l[5] != "1":
                continue
            p = (int(l[1]), int(l[4]), int(l[8]), float(l[11]), l[12], int(l[10]))
            if channel is None or p[1] == channel:
                out.append(p)
        return out

    def first_waits(self):
        """Pictures reported as not yet due: (t_us, channel, frametime)"""
        return [(int(l[1]), int(l[4]), int(l[8])) for l in self.run.of("PIC") if l[5] == "2"]

    def waits(self):
        """Channel states without a picture: (t_us, channel, status)"""
        return [(int(l[1]), int(l[3]), int(l[4])) for l in self.run.of("WAIT")]

    def traces(self, prefix):
        return [(int(l[1]), " ".join(l[2:])) for l in self.run.of("TRACE")
                if " ".join(l[2:]).startswith(prefix)]

    def mark(self, text):
        return [int(l[1]) for l in self.run.of("MARK") if l[2] == text][0]

    def after(self, text, channel=None):
        t = self.mark(text)
        return [p for p in self.pictures(channel) if p[0] > t]


def all_query(channels, begin, seconds, **kw):
    q = e.query(key=0, begin=(2024, 1, 1, 0, begin // 60, begin % 60),
                end=(2024, 1, 1, 0, (begin + seconds) // 60, (begin + seconds) % 60),
                noaudio="True", **kw)
    return q.replace("PlayBack1.cgi?Key=0", "PlayBack1_All.cgi?Key=" +
                     ".".join(map(str, channels)))


def delivered(records):
    """Video records the element shows: all of them (the end of the feed finishes the last
    group)."""
    return [r for r in records if r.kind == 1]


def reference(ctx, records, channel):
    """The ffmpeg program's fast bilinear BGR24 decode of a channel's access units, hashed."""
    units = [r for r in records if r.channel == channel]
    codec = units[0].codec
    path = os.path.join(ctx.work, "ch%d.%s" % (channel, codec))
    with open(path, "wb") as f:
        for r in units:
            f.write(r.payload)
    size = subprocess.run(["ffprobe", "-v", "error", "-f", codec, "-show_entries",
                           "stream=width,height", "-of", "csv=p=0", path],
                          capture_output=True, text=True, check=True).stdout.strip().split(",")
    return e.reference_hashes(ctx.host, path, codec, int(size[0]), int(size[1]))


def drift(pictures, factor=1.0):
    """How far each picture came, in ms, from where its pts says it belongs on the clock
    (divided by the speed factor), measured from the channel's first picture."""
    t0, pts0 = pictures[0][0], pictures[0][3]
    return [(p[0] - t0) / 1000 - (p[3] - pts0) / factor for p in pictures]


# ---- scenarios ------------------------------------------------------------------------------

@scenario
def four_channels(ctx):
    """Channels 1-4 (1080p and 360p H.264, 720p H.265): every picture of every channel comes
    with its channel, byte-identical to the ffmpeg program's decode of that channel's access
    units, with the record's frame time, spaced on the clock by the pts differences; the first
    pictures of all channels share the base time."""
    channels = [1, 2, 3, 4]
    with ctx.recorder() as rec:
        records = delivered(e.fetch(rec.port, all_query(channels, 0, 6)))
        r = Log(ctx.run(rec, channels, 6, ["hash:1", "open", "wait_pictures:%d:90000" %
                                           len(records), "wait_quiet:300", "close", "destroy"]))
    for c in channels:
        want = [x for x in records if x.channel == c]
        got = r.pictures(c)
        expect(len(got) == len(want), "channel %d: %d pictures, want %d" % (c, len(got), len(want)))
        expect([p[2] for p in got] == [x.frame_time for x in want],
               "channel %d: frame times are the records'" % c)
        expect([p[3] for p in got] == [(x.frame_time - T0) / 10000 for x in want],
               "channel %d: pts is the distance from the earliest frame" % c)
        ref = reference(ctx, records, c)
        same = sum(a == b for a, b in zip([p[4] for p in got], ref))
        expect(same == len(got) == len(ref), "channel %d: %d of %d pictures equal the ffmpeg "
               "decode (%d reference)" % (c, same, len(got), len(ref)))
        # Loosely, since a busy machine moves single pictures (the benchmark measures by how
        # much): the usual gap between two pictures is their pts distance.
        gaps = [(b[0] - a[0]) / 1000 for a, b in zip(got, got[1:])]
        expect(abs(statistics.median(gaps) - 40) < 3, "channel %d: pictures %.1f ms apart" %
               (c, statistics.median(gaps)))
        # A picture far behind its time (the machine stalled) restarts the channel's
        # schedule from there, by design; between such restarts no delay may build up.
        off = drift(got)
        steps = [b - a for a, b in zip(off, off[1:])]
        small = [x for x in steps if abs(x) < 100]
        expect(len(steps) - len(small) <= 3, "channel %d: %d restarts" %
               (c, len(steps) - len(small)))
        expect(abs(sum(small)) < 40, "channel %d: %.0f ms of delay built up" % (c, sum(small)))
    expect(not r.waits(), "no channel waited: %s" % r.waits()[:3])
    firsts = [r.pictures(c)[0][0] for c in channels]
    expect(max(firsts) - min(firsts) < 100_000, "the channels start together: %s" % firsts)
    expect(ctx.saved_files() == [], "working files left: %s" % ctx.saved_files())


@scenario
def speeds_and_directions(ctx):
    """Forward 1: no re-seek, limits 10000; forward 3: key frames only after one re-seek,
    limits 40000; back to 0: every frame again after one more; rewind twice: one re-seek, key
    frames in falling time, the recorder told once. (Channels 8 and 9: two minutes, 1 s and
    2 s groups.)"""
    channels = [8, 9]
    # Sent at four times real time, so that the key frames at eight times the speed do not
    # take the whole recording before the speed goes back to normal.
    with ctx.recorder("--pace", "4") as rec:
        run = ctx.run(rec, channels, 120, [
            "open", "wait_pictures:30:30000", "mark:speed1", "forward:1",
            "wait_pictures:80:30000", "mark:speed3", "forward:3", "sleep:2000",
            "mark:speed0", "forward:0", "sleep:1500", "mark:rewind", "rewind:2", "rewind:2",
            "sleep:2500", "mark:end", "close", "destroy"])
        log = rec.log()
    r = Log(run)
    limits = [t for _, t in r.traces("CQMediaElement::Forward")]
    expect(limits == ["CQMediaElement::Forward speed:1 buffer:10000,30000",
                      "CQMediaElement::Forward speed:3 buffer:40000,30000",
                      "CQMediaElement::Forward speed:0 buffer:5000,30000"], "limits: %s" % limits)
    seeks = [t for t, _ in r.traces("Seek ")]
    marks = {m: r.mark(m) for m in ("speed1", "speed3", "speed0", "rewind", "end")}

    def between(a, b, items):
        return [x for x in items if marks[a] < x < marks[b]]
    expect(not between("speed1", "speed3", seeks), "speed 1 asks for no re-seek")
    expect(len(between("speed3", "speed0", seeks)) == 1, "one re-seek at speed 3")
    expect(len(between("speed0", "rewind", seeks)) == 1, "one re-seek back at speed 0")
    expect(len(between("rewind", "end", seeks)) == 1, "one re-seek for two rewinds: %s" % seeks)
    rewinds = [l for l in log if "command" in l and "IsSeek=True" in l]
    expect(len(rewinds) == 1 and rewinds[0].endswith("Orientation=Rewind"),
           "the recorder hears of the rewind once: %s" % rewinds)

    pics = r.pictures(8)
    fast = [p for p in pics if marks["speed1"] + 200_000 < p[0] < marks["speed3"]]
    gaps = [(b[0] - a[0]) / 1000 for a, b in zip(fast, fast[1:])]
    expect(statistics.median(gaps) < 30, "speed 1: pictures 40 ms apart shown %.1f ms apart" %
           statistics.median(gaps))
    # A call changes the reading only when the clock's next tick serves its re-seek; a
    # picture whose tick was under way when the call came is still of the old reading. So the
    # windows start at the re-seeks.
    served = {m: min(t for t in seeks if t > marks[m]) for m in ("speed3", "rewind")}
    groups = {8: SECOND, 9: 2 * SECOND}
    for c in channels:
        keys = [p for p in r.pictures(c) if served["speed3"] < p[0] < marks["speed0"]]
        expect(keys, "channel %d shows pictures at speed 3" % c)
        expect(all((p[2] - T0) % groups[c] == 0 for p in keys),
               "channel %d: key frames only at speed 3: %s" % (c, [p[2] - T0 for p in keys]))
        every = [p[2] for p in r.pictures(c) if marks["speed0"] + 800_000 < p[0] < marks["rewind"]]
        steps = {b - a for a, b in zip(every, every[1:])}
        expect(steps == {FRAME}, "channel %d: every frame again at speed 0: %s" % (c, steps))
        back = [p[2] for p in r.pictures(c) if served["rewind"] < p[0]]
        expect(len(back) >= 2 and back == sorted(back, reverse=True) and
               all((t - T0) % groups[c] == 0 for t in back),
               "channel %d: key frames in falling time after the rewind: %s" %
               (c, [(t - T0) / SECOND for t in back]))


@scenario
def frame_steps(ctx):
    """Pause reports state 3 once with no picture and holds the pictures; each frame step,
    forward or backward, presents exactly one picture per channel; play goes on."""
    channels = [3, 4]
    with ctx.recorder() as rec:
        r = Log(ctx.run(rec, channels, 20, [
            "open", "wait_pictures:150:30000", "pause", "mark:paused", "sleep:500",
            "mark:step1", "step_forward", "sleep:700", "mark:step2", "step_forward", "sleep:700",
            "mark:back1", "step_rewind", "sleep:1500", "mark:back2", "step_rewind", "sleep:700",
            "mark:fwd", "step_forward", "sleep:1500", "mark:play", "play", "sleep:500",
            "mark:end", "close", "destroy"]))
    states = r.run.of("STATE")
    expect([s[2] for s in states] == ["3"], "pause reported once: %s" % states)
    expect(not [p for p in r.after("paused") if p[0] < r.mark("step1")], "no picture paused")
    last = {c: [p for p in r.pictures(c) if p[0] < r.mark("paused")][-1][2] for c in channels}
    steps = [("step1", "step2"), ("step2", "back1"), ("back1", "back2"), ("back2", "fwd"),
             ("fwd", "play")]
    shown = {}
    for a, b in steps:
        pics = [p for p in r.after(a) if p[0] < r.mark(b)]
        expect(sorted(p[1] for p in pics) == channels,
               "step at %s: one picture per channel, got %s" % (a, [(p[1], p[2]) for p in pics]))
        shown[a] = {p[1]: p[2] for p in pics}
    for c in channels:
        expect(shown["step1"][c] == last[c] + FRAME and shown["step2"][c] == last[c] + 2 * FRAME,
               "channel %d: the next frames forward" % c)
        expect(shown["back2"][c] < shown["back1"][c] <= shown["step2"][c],
               "channel %d: key frames going back: %s" % (c, shown))
    expect(len(r.after("play")) > 10, "play goes on after the steps")

    # Smooth reverse: a step moves one picture either way, and a rewind shows every picture
    # backward, the channels in step.
    with ctx.recorder() as rec:
        r = Log(ctx.run(rec, channels, 20, [
            "reverse_mode:1", "open", "wait_pictures:150:30000", "pause", "mark:paused",
            "sleep:500", "mark:step1", "step_forward", "sleep:700", "mark:back1", "step_rewind",
            "sleep:1500", "mark:back2", "step_rewind", "sleep:700", "mark:fwd", "step_forward",
            "sleep:1500", "mark:rewind", "rewind:0", "play", "sleep:3000", "mark:end", "close",
            "destroy"]))
    last = {c: [p for p in r.pictures(c) if p[0] < r.mark("paused")][-1][2] for c in channels}
    steps = [("step1", "back1", 1), ("back1", "back2", 0), ("back2", "fwd", -1),
             ("fwd", "rewind", 0)]
    for a, b, want in steps:
        pics = [p for p in r.after(a) if p[0] < r.mark(b)]
        got = {p[1]: (p[2] - last[p[1]]) // FRAME for p in pics}
        expect(len(pics) == len(channels) and got == {c: want for c in channels},
               "smooth step at %s: one picture a channel, %d frames from the paused one; got %s" %
               (a, want, got))
    for c in channels:
        times = [p[2] for p in r.after("rewind") if p[1] == c and p[0] < r.mark("end")]
        expect(len(times) > 20 and all(b - a == -FRAME for a, b in zip(times, times[1:])),
               "channel %d: every picture backward after the rewind: %s" %
               (c, [(t - last[c]) // FRAME for t in times]))


@scenario
def file_mode(ctx):
    """fileMode 1: SetPos(50) goes on from the middle of the groups recorded so far, and Seek
    from the group that starts at the time given, after the pictures already queued. With any
    other file mode neither call does anything. The feed stalls in the second group, so the
    reader catches up with it and must go on once more groups come."""
    with ctx.recorder("--stall", "30:1500") as rec:
        for mode in (1, 2):
            r = Log(ctx.run(rec, [3], 20, [
                "set:filemode:%d" % mode, "set:filename:" + os.path.join(ctx.save, "feed.bin"),
                "open", "wait_pictures:20:30000", "sleep:1000", "mark:setpos", "setpos:50",
                "wait_pictures:60:30000", "mark:seek", "seek:2024/1/1/0/0/15/0", "sleep:7000",
                "close", "destroy"]))
            times = [(p[2] - T0) / SECOND for p in r.pictures()]
            jumps = [(a, b) for a, b in zip(times, times[1:]) if abs(b - a - 0.04) > 1e-6]
            if mode != 1:
                expect(not jumps, "file mode %d: no move: %s" % (mode, jumps))
                continue
            expect(len(jumps) == 2, "file mode 1: two moves: %s" % jumps)
            (a1, b1), (a2, b2) = jumps
            expect(a1 < 3 and 9 <= b1 <= 11, "SetPos(50): from %.2f to %.2f s" % (a1, b1))
            # Paced by their times: the queued pictures play, then the jump waits out the
            # distance to 15 s at normal speed.
            expect(b2 == 15, "Seek: on at 15 s, after %.2f s" % a2)
            after_seek = [p for p in r.after("seek")]
            expect(after_seek and (after_seek[0][2] - T0) / SECOND < 15,
                   "the queued pictures came first")
    expect(ctx.saved_files() == [], "working files left: %s" % ctx.saved_files())


@scenario
def hole(ctx):
    """Channel 6 has a 40 s hole after 10 s, channel 7 one of 36 s: each is reported waiting
    once without a picture; once both wait, both take the same offset (the earliest pending pts
    less the latest shown one) and playback jumps the hole in step."""
    with ctx.recorder() as rec:
        records = delivered(e.fetch(rec.port, all_query([6, 7], 0, 60)))
        r = Log(ctx.run(rec, [6, 7], 60, ["open", "wait_pictures:%d:60000" % len(records),
                                         "wait_quiet:300", "close", "destroy"], timeout=120))
    waits = r.waits()
    expect(sorted((w[1], w[2]) for w in waits) == [(6, 2), (7, 2)],
           "each channel waits once: %s" % waits)
    offsets = {}
    for _, line in r.traces("video time:"):
        fields = dict(f.split(":", 1) for f in line.split()[3:] if ":" in f)
        channel = int(fields["key"])
        if int(fields["last_offset"]) != 0:
            offsets.setdefault(channel, int(fields["last_offset"]))
    expect(offsets == {6: 36040, 7: 36040}, "the same offset for both: %s" % offsets)
    for c, resume in ((6, 50), (7, 46)):
        pics = r.pictures(c)
        i = next(i for i, p in enumerate(pics) if (p[2] - T0) // SECOND >= resume)
        expect((pics[i - 1][2] - T0) / SECOND == 9.96, "channel %d: the hole follows 9.96 s" % c)
        took = (pics[i][0] - pics[i - 1][0]) / 1e6
        want = 0.04 if c == 7 else 4.04
        expect(abs(took - want) < 0.5, "channel %d: %.2f s over the hole, want %.2f" %
               (c, took, want))
    expect([p[2] for p in r.pictures()] == [x.frame_time for x in records],
           "every picture, in step: %d of %d" % (len(r.pictures()), len(records)))


@scenario
def close_from_callback(ctx):
    """Close from inside the callback returns at once and no callback follows; Destroy from
    inside it frees the element when the callback returns; neither deadlocks."""
    with ctx.recorder() as rec:
        r = Log(ctx.run(rec, [3, 4], 20, ["close_in_callback:30", "open",
                                         "wait_pictures:30:30000", "sleep:500", "mark:later",
                                         "open", "wait_pictures:60:30000", "close", "destroy"]))
        closed = r.mark("close_returned")
        expect(closed - r.mark("close_in_callback") < 20_000, "Close inside returns at once")
        expect(not [p for p in r.pictures() if closed < p[0] < r.mark("later")],
               "no picture after the close")
        expect(len(r.after("later")) >= 30, "the element opens again afterwards")

        # The element is freed on its clock thread once the callback has returned; the host
        # waits for the last trace of that (the source's destructor) before it ends.
        r = Log(ctx.run(rec, [3, 4], 20, ["destroy_in_callback:30", "open",
                                         "wait_pictures:30:30000",
                                         "wait_trace:~CQHttpClient(void)--:30000", "sleep:300",
                                         "mark:later"]))
        expect(r.mark("destroy_returned") - r.mark("destroy_in_callback") < 20_000,
               "Destroy inside returns at once")
        expect(not [p for p in r.pictures() if p[0] > r.mark("destroy_returned")],
               "no picture after the destroy")
    expect(ctx.saved_files() == [], "working files left: %s" % ctx.saved_files())


@scenario
def cycles(ctx):
    """200 cycles of create, open, play, close and destroy leave no thread, no descriptor and
    no working file behind."""
    with ctx.recorder() as rec:
        cycle = ["create", "open", "play", "wait_pictures:%d:30000", "close", "destroy"]
        commands = [c.replace("%d", "1") for c in cycle] + ["checkpoint:before"]
        for i in range(200):
            commands += [c.replace("%d", str(2 + i)) for c in cycle]
        commands += ["sleep:200", "checkpoint:after"]
        run = ctx.run(rec, [5], 20, commands[1:],
                      on_checkpoint=lambda pid, name: e.proc_counts(pid), timeout=600)
    Log(run)
    before, after = run.checkpoints["before"], run.checkpoints["after"]
    expect(after[0] == before[0], "threads %d -> %d" % (before[0], after[0]))
    expect(after[1] == before[1], "descriptors %d -> %d" % (before[1], after[1]))
    expect(ctx.saved_files() == [], "working files left: %s" % ctx.saved_files())


if __name__ == "__main__":
    sys.exit(scenario.main(Ctx, [("--host", True), ("--recorder", True), ("--samples", True)]))
