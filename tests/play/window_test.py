#!/usr/bin/env python3
"""varnel-play --window under a virtual X server: the window shows the delivered picture, its
title follows the playback, and its keys control it.

usage: window_test.py CASE --play PATH --recorder PATH --samples DIR --key N --begin TIME"""
import datetime
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import driver as pl  # noqa: E402

TITLE = re.compile(r'"(varnel-play - ([0-9/]+ [0-9:.]+|connecting) - (\S+) (forward|reverse)'
                   r'( - paused)?)"')

case = pl.Cases()
expect = pl.expect


def titles(x):
    """The titles of varnel-play's windows on the display, parsed."""
    tree = subprocess.run(["xwininfo", "-root", "-tree", "-display", x.display],
                          capture_output=True, text=True).stdout
    return [m.groups() for m in TITLE.finditer(tree)]


def wait_title(x, predicate, what, timeout=20):
    found, seen = [], []

    def check():
        now = titles(x)
        if now and (not seen or seen[-1] != now[0]):
            seen.append(now[0])
        found[:] = [t for t in now if predicate(t)]
        return bool(found)

    try:
        pl.wait_for(check, timeout, what)
    except AssertionError as e:
        raise AssertionError("%s; titles seen: %s" % (e, [t[0] for t in seen[-8:]])) from None
    return found[0]


def geometry(x):
    """(left, top, width, height) of varnel-play's window on the screen."""
    out = subprocess.run(["xdotool", "search", "--name", "^varnel-play - ", "getwindowgeometry",
                          "--shell"], env=x.env(), capture_output=True, text=True,
                         timeout=20).stdout
    g = dict(line.split("=", 1) for line in out.split())
    return int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])


@case
def shows_the_delivered_picture(ctx):
    """The picture on the screen is the last one delivered, pixel for pixel in its centre."""
    with pl.Xvfb(1600, 900) as x, pl.Recorder(ctx.recorder, ctx.samples, ctx.work) as rec:
        summary = os.path.join(ctx.out, "summary.json")
        proc = subprocess.Popen(
            [ctx.play, "--window", "--port", str(rec.port), "--key", ctx.key, "--begin",
             ctx.begin, "--length", "2", "--hold", "60", "--out", ctx.out, "--json", summary,
             "--quiet"],
            env=x.env({"SDL_AUDIODRIVER": "dummy"}), stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE, text=True)
        try:
            # The summary is written after the pictures, while the window holds the last one.
            pl.wait_for(lambda: os.path.exists(summary) or proc.poll() is not None, 90,
                        "the end of playback")
            if proc.poll() is not None:  # reading stderr of a running process would block
                raise AssertionError("varnel-play ended early: %s" % proc.stderr.read())
            time.sleep(0.5)
            s = pl.summary(summary)
            expect(s["pictures"] > 10, "pictures delivered: %s" % s)
            title = wait_title(x, lambda t: True, "the window")
            expect(title[1] == s["last_frame_time"], "title %r, last %s" % (title,
                                                                            s["last_frame_time"]))
            shot = x.screenshot(os.path.join(ctx.work, "screen.xwd"))
            left, top = geometry(x)[:2]
            last = pl.Image.decode(os.path.join(ctx.out, "last.png"))
        finally:
            proc.terminate()
            proc.wait(30)
    expect(proc.returncode == 0, "exit code %d after the hold" % proc.returncode)
    expect((last.width, last.height) == (s["width"], s["height"]), "last.png size")
    expect(last.width <= x.width and last.height <= x.height, "picture fits the screen")
    # The window shows the picture at its own size (it fits this screen), the timeline under it.
    size = 200
    screen = shot.crop(left + (last.width - size) // 2, top + (last.height - size) // 2, size,
                       size)
    picture = last.crop((last.width - size) // 2, (last.height - size) // 2, size, size)
    expect(screen.spread() > 10, "the screen's centre is blank (spread %.1f)" % screen.spread())
    diff = screen.mean_difference(picture)
    expect(diff < 4, "screen and delivered picture differ by %.1f on average" % diff)
    # The rest of the screen is the X server's own background, not the picture.
    corner = shot.crop(0, 0, 50, 50)
    expect(corner.mean_difference(picture.crop(0, 0, 50, 50)) > 4 or corner.spread() < 1,
           "the window covers the corner")


@case
def keys_control_playback(ctx):
    """r reverses, + doubles the speed, space pauses and resumes, q quits."""
    with pl.Xvfb(1600, 900) as x, pl.Recorder(ctx.recorder, ctx.samples, ctx.work) as rec:
        proc = subprocess.Popen(
            [ctx.play, "--window", "--port", str(rec.port), "--key", ctx.key, "--begin",
             ctx.begin, "--length", "20", "--out", ctx.out, "--quiet", "--json",
             os.path.join(ctx.out, "summary.json"), "--trace", os.path.join(ctx.work, "trace")],
            env=x.env({"SDL_AUDIODRIVER": "dummy"}), stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE, text=True)

        def key(name):
            subprocess.run(["xdotool", "search", "--name", "^varnel-play - ", "windowfocus",
                            "--sync", "key", name], env=x.env(), check=True, timeout=20)

        try:
            # Reverse then runs back through at least one whole group before the begin.
            played = (datetime.datetime.strptime(ctx.begin, "%Y/%m/%d %H:%M:%S") +
                      datetime.timedelta(seconds=3)).strftime("%Y/%m/%d %H:%M:%S")
            first = wait_title(x, lambda t: t[1][0].isdigit() and t[1] > played,
                               "three seconds of playing", 40)
            expect(first[2:4] == ("1x", "forward"), "title at the start: %r" % (first,))
            key("r")
            at_reverse = wait_title(x, lambda t: t[3] == "reverse", "reverse in the title")
            wait_title(x, lambda t: t[3] == "reverse" and t[1] < at_reverse[1],
                       "frame times going back after r from %s" % at_reverse[1])
            key("f")
            key("plus")
            wait_title(x, lambda t: t[2:4] == ("2x", "forward"), "2x forward after f and +")
            key("space")
            paused = wait_title(x, lambda t: t[4] is not None, "paused after space")
            time.sleep(1.5)
            still = wait_title(x, lambda t: True, "the window")
            expect(still[1] == paused[1] or still[1] <= paused[1][:19] + ".999",
                   "pictures kept coming while paused: %r then %r" % (paused, still))
            key("space")
            wait_title(x, lambda t: t[4] is None and t[1] > still[1], "playing again")
            key("q")
            proc.wait(30)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    expect(proc.returncode == 0, "exit code %d: %s" % (proc.returncode, proc.stderr.read()))
    s = pl.summary(os.path.join(ctx.out, "summary.json"))
    expect(s["ending"] == "quit", str(s))


@case
def timeline_click_seeks(ctx):
    """A click at 75 % of the timeline plays on from there, streamed, on file and in the grid:
    the pictures after it lie in the last quarter of the range. The screen shows the line over
    the picture and the timeline under it."""
    quarter = ctx.begin[:11] + "00:00:15"  # of the 20 s range from 00:00:00
    for mode in (["--key", ctx.key], ["--key", ctx.key, "--on-file"], ["--channels", "3,11"]):
        with pl.Xvfb(1600, 900) as x, pl.Recorder(ctx.recorder, ctx.samples, ctx.work) as rec:
            # At half speed playing on would take 26 s to reach the last quarter: a picture
            # from there within 10 s of the click comes from the seek, however busy the machine.
            proc = subprocess.Popen(
                [ctx.play, "--window", "--port", str(rec.port), "--begin", ctx.begin, "--length",
                 "20", "--speed", "0.5x", "--out", ctx.out, "--quiet", *mode],
                env=x.env({"SDL_AUDIODRIVER": "dummy"}), stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
            try:
                before = wait_title(x, lambda t: t[1] < quarter[:17] + "02", "a picture")
                left, top, width, height = geometry(x)
                subprocess.run(["xdotool", "mousemove", str(left + width * 3 // 4),
                                str(top + height - 5), "click", "1"], env=x.env(), check=True)
                # Pictures of the old place already on their way may come first, none after.
                seen = [wait_title(x, lambda t: t[1] >= quarter, "the last quarter", 10)]
                while len(seen) < 10:
                    seen.append(wait_title(x, lambda t: t[1] != seen[-1][1], "more pictures"))
                shot = x.screenshot(os.path.join(ctx.work, "screen.xwd"))
            finally:  # in order, so that the library deletes its working files
                proc.terminate()
                proc.wait(30)
        expect(all(t[1] >= quarter for t in seen),
               "%s: after the click at %s: %s" % (mode, before[1], [t[1] for t in seen]))
        # A black band with white text over the picture's corner; under the picture the
        # timeline played (blue) to beyond its middle.
        band = shot.crop(left + 8, top + 8, 120, 14).rgb
        expect(band.count(b"\0\0\0") > 200 and band.count(b"\xff\xff\xff") > 50,
               "%s: no text over the picture" % mode)
        mid = shot.crop(left + width // 2, top + height - 14, 1, 1).rgb
        expect(mid == bytes((40, 140, 230)), "%s: the timeline's middle is %r" % (mode, mid))


class Ctx:
    def __init__(self, args):
        self.play, self.recorder, self.samples = args.play, args.recorder, args.samples
        self.key, self.begin = args.key, args.begin
        self.work = pl.temp_dir("window")
        self.out = os.path.join(self.work, "out")


if __name__ == "__main__":
    if shutil.which("Xvfb") is None:
        print("skipped: no Xvfb (scripts/setup.sh installs it with the test packages)")
        sys.exit(77)
    flags = ("--play", "--recorder", "--samples", "--key", "--begin")
    sys.exit(case.main(Ctx, [(f, True) for f in flags]))
