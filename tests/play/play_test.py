#!/usr/bin/env python3
# varnel-play run as a person runs it: its answers to bad command lines, to an unreachable
# recorder and to a range with nothing in it (the documented message on standard error and the
# documented exit code); several channels; the README's demo; and --window under a virtual X
# server, where the window shows the delivered picture, its title follows the playback, and its
# keys and timeline control it.
# usage: play_test.py CASE --play PATH [--recorder PATH --samples DIR --key N --begin TIME]
#        play_test.py demo --build DIR
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
import driver as pl  # noqa: E402

case = pl.Cases()
expect = pl.expect


@case
def bad_options(ctx):
    # How the program reports a bad command line (each message is held by the options' unit
    # case) and an output folder it cannot create: the message, the hint, exit codes 2 and 1,
    # nothing on standard output or on disk.
    code, out, err = pl.play(ctx.play, ["--port", "99999", "--out", ctx.out])
    expect(code == 2 and out == "", "exit code %d, output %r" % (code, out))
    expect(err.splitlines()[:2] == ["varnel-play: --port: '99999' is not a port from 1 to 65535",
                                    "Try 'varnel-play --help'."], err)
    expect(not os.path.exists(ctx.out), "a bad command line writes nothing")
    code, out, _ = pl.play(ctx.play, ["--help"])
    expect(code == 0 and "Exit codes:" in out and "--window" in out, "help: %d" % code)
    open(os.path.join(ctx.work, "file"), "w").close()
    out = os.path.join(ctx.work, "file", "out")
    code, _, err = pl.play(ctx.play, ["--headless", "--out", out])
    expect(code == 1 and err.startswith("varnel-play: cannot create the output folder %s: " % out),
           "%d: %s" % (code, err))


@case
def unreachable(ctx):
    port = pl.free_port()
    # With an account: no output, summary or trace of the program holds the password.
    trace, js = os.path.join(ctx.out, "trace.txt"), os.path.join(ctx.out, "s.json")
    code, out, err = pl.play(ctx.play, ["--headless", "--ip", "alice:s3cret@127.0.0.1", "--port",
                                        str(port), "--out", ctx.out, "--timeout", "15", "--json",
                                        js, "--trace", trace], timeout=60)
    expect(sorted(os.listdir(ctx.out)) == ["s.json", "trace.txt"], "no sheet, no working folder")
    written = out + err + open(js).read() + open(trace, errors="replace").read()
    expect("s3cret" not in written and "alice:***@" in open(trace).read(), "password")
    message = "cannot reach the recorder at 127.0.0.1:%d (Connection refused)" % port
    expect(code == 3 and "varnel-play: " + message in err.splitlines(), "%d: %s" % (code, err))
    expect(pl.summary(js)["pictures"] == 0 and pl.summary(js)["error"] == message, "summary")


@case
def channels(ctx):
    # --channels plays several channels in step through the media element: a summary line for
    # each, and a contact sheet with one row of thumbnails a channel. A range with nothing in
    # it: the documented message and exit code 4.
    with pl.Recorder(ctx.recorder, ctx.samples, ctx.work) as rec:
        code, _, err = pl.play(ctx.play, ["--headless", "--port", str(rec.port), "--out", ctx.out,
                                          "--begin", "1999/01/01 00:00:00", "--length", "10",
                                          "--timeout", "15"], timeout=60)
        message = ("varnel-play: no pictures in the range 1999/01/01 00:00:00.000 - "
                   "1999/01/01 00:00:10.000 from 127.0.0.1:%d" % rec.port)
        expect(code == 4 and message in err.splitlines(), "exit code %d: %s" % (code, err[-500:]))
        code, out, err = pl.play(ctx.play, ["--headless", "--channels", "3,4", "--port",
                                            str(rec.port), "--length", "4", "--out", ctx.out,
                                            "--quiet"], timeout=90)
    expect(code == 0, "exit code %d: %s" % (code, err[-500:]))
    lines = {l.split()[1]: l.split() for l in out.splitlines() if l.startswith("channel ")}
    expect(sorted(lines) == ["3", "4"], "a line a channel: %s" % out)
    expect(all(int(f[2]) >= 90 and f[4] == "2024/01/01" for f in lines.values()), out)
    # 640x360 thumbnails 320 wide, four a row (the default), one row a channel.
    size = pl.png_size(os.path.join(ctx.out, "contact-sheet.png"))
    expect(size == (1320, 392), "sheet size %s" % (size,))
    expect(not os.path.exists(os.path.join(ctx.out, "work")), "working folder removed")


@case
def demo(ctx):
    # The README's main command, shortened, on a machine without a display: it ends well,
    # prints only its own lines and the progress line (no notice of SDL's: its disk audio
    # driver announced itself at every open of the device), and leaves a contact sheet of the
    # documented size made of real pictures.
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    p = pl.run_tree(["bash", os.path.join(HERE, "..", "..", "scripts", "demo.sh"), "--build",
                     ctx.build, "--short", "--out", ctx.out], timeout=240, env=env)
    expect(p.returncode == 0, "exit code %d:\n%s\n%s" % (p.returncode, p.stdout, p.stderr[-2000:]))
    expect(not re.search(r"^(CRITICAL|ERROR|WARN|INFO): ", p.stdout + p.stderr, re.M), p.stderr)
    sheet = os.path.join(ctx.out, "contact-sheet.png")
    expect("demo: contact sheet: %s" % sheet in p.stdout.splitlines(), p.stdout)
    expect(pl.png_size(sheet) == (1320, 760), "sheet %dx%d" % pl.png_size(sheet))
    # 4 s at 1x, 2 s in reverse, 2 s at 4x of the 1080p clip: far more than 16 thumbnails.
    s = pl.summary(os.path.join(ctx.out, "summary.json"))
    expect(s["pictures"] >= 100 and s["sheet_pictures"] == 16 and not s.get("error") and
           (s["width"], s["height"]) == (1920, 1080), "summary: %s" % s)


TITLE = re.compile(r'"(varnel-play - ([0-9/]+ [0-9:.]+|connecting) - (\S+) (forward|reverse)'
                   r'( - paused)?)"')


def wait_title(x, predicate, what, timeout=20):
    # The first of varnel-play's window titles, parsed, that the predicate accepts; failing,
    # the last titles seen.
    found, seen = [], []

    def check():
        tree = subprocess.run(["xwininfo", "-root", "-tree", "-display", x.display],
                              capture_output=True, text=True).stdout
        seen[:] = (seen + [m.groups() for m in TITLE.finditer(tree)])[-8:]
        found[:] = [t for t in seen[-1:] if predicate(t)]
        return bool(found)

    try:
        pl.wait_for(check, timeout, what)
    except AssertionError as e:
        raise AssertionError("%s; titles seen: %s" % (e, [t[0] for t in seen])) from None
    return found[0]


def xdotool(x, *args):
    return subprocess.run(["xdotool", *args], env=x.env(), capture_output=True, text=True,
                          check=True, timeout=20).stdout


def geometry(x):
    # (left, top, width, height) of varnel-play's window on the screen.
    g = dict(line.split("=", 1) for line in xdotool(x, "search", "--name", "^varnel-play - ",
                                                    "getwindowgeometry", "--shell").split())
    return int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])


def window(ctx, x, rec, *args):
    return subprocess.Popen([ctx.play, "--window", "--port", str(rec.port), "--begin", ctx.begin,
                             "--out", ctx.out, "--quiet", *args],
                            env=x.env({"SDL_AUDIODRIVER": "dummy"}), stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)


@case
def shows_the_delivered_picture(ctx):
    # The picture on the screen is the last one delivered, pixel for pixel in its centre.
    summary = os.path.join(ctx.out, "summary.json")
    with pl.Xvfb(1600, 900) as x, pl.Recorder(ctx.recorder, ctx.samples, ctx.work) as rec:
        proc = window(ctx, x, rec, "--key", ctx.key, "--length", "2", "--hold", "60", "--json",
                      summary)
        try:
            # The summary is written after the pictures, while the window holds the last one.
            pl.wait_for(lambda: os.path.exists(summary) or proc.poll() is not None, 90,
                        "the end of playback")
            if proc.poll() is not None:  # reading stderr of a running process would block
                raise AssertionError("varnel-play ended early: %s" % proc.stderr.read())
            time.sleep(0.5)
            s = pl.summary(summary)
            title = wait_title(x, lambda t: True, "the window")
            expect(s["pictures"] > 10 and title[1] == s["last_frame_time"], "%r, %s" % (title, s))
            shot = x.screenshot(os.path.join(ctx.work, "screen.xwd"))
            left, top = geometry(x)[:2]
            last = pl.Image.decode(os.path.join(ctx.out, "last.png"))
        finally:
            proc.terminate()
            proc.wait(30)
    expect(proc.returncode == 0, "exit code %d after the hold" % proc.returncode)
    expect((last.width, last.height) == (s["width"], s["height"]), "last.png size")
    # The window shows the picture at its own size (the 720p clip fits this screen), the
    # timeline under it: the centres of screen and picture, 200 pixels square, are one.
    cx, cy = (last.width - 200) // 2, (last.height - 200) // 2
    screen, picture = shot.crop(left + cx, top + cy, 200, 200), last.crop(cx, cy, 200, 200)
    expect(screen.spread() > 10, "the screen's centre is blank (spread %.1f)" % screen.spread())
    diff = screen.mean_difference(picture)
    expect(diff < 4, "screen and delivered picture differ by %.1f on average" % diff)
    # The rest of the screen is the X server's own background, not the picture.
    corner = shot.crop(0, 0, 50, 50)
    expect(corner.mean_difference(picture.crop(0, 0, 50, 50)) > 4 or corner.spread() < 1,
           "the window covers the corner")


@case
def keys_control_playback(ctx):
    # r reverses, f and + play forward at 2x, space pauses and resumes, q quits.
    with pl.Xvfb(1600, 900) as x, pl.Recorder(ctx.recorder, ctx.samples, ctx.work) as rec:
        proc = window(ctx, x, rec, "--key", ctx.key, "--length", "20", "--json",
                      os.path.join(ctx.out, "summary.json"))
        key = lambda name: xdotool(x, "search", "--name", "^varnel-play - ", "windowfocus",
                                   "--sync", "key", name)
        try:
            # Reverse then runs back through at least one whole group before the begin.
            played = ctx.begin[:17] + "%02d" % (int(ctx.begin[17:]) + 3)  # begins at 00:00:06
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
    expect(pl.summary(os.path.join(ctx.out, "summary.json"))["ending"] == "quit", "ending")


@case
def timeline_click_seeks(ctx):
    # A click at 75 % of the timeline plays on from there, streamed, on file and in the grid:
    # the pictures after it lie in the last quarter of the range. The screen shows the line
    # over the picture and the timeline under it.
    quarter = ctx.begin[:11] + "00:00:15"  # of the 20 s range from 00:00:00
    with pl.Xvfb(1600, 900) as x, pl.Recorder(ctx.recorder, ctx.samples, ctx.work) as rec:
        for mode in (["--key", ctx.key], ["--key", ctx.key, "--on-file"], ["--channels", "3,11"]):
            # At half speed playing on would take 26 s to reach the last quarter: a picture
            # from there within 10 s of the click comes from the seek, however busy the machine.
            proc = window(ctx, x, rec, "--length", "20", "--speed", "0.5x", *mode)
            try:
                before = wait_title(x, lambda t: t[1] < quarter[:17] + "02", "a picture")
                left, top, width, height = geometry(x)
                xdotool(x, "mousemove", str(left + width * 3 // 4), str(top + height - 5), "click",
                        "1")
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
        vars(self).update(vars(args))
        self.work = pl.temp_dir("play")
        self.out = os.path.join(self.work, "out")


if __name__ == "__main__":
    if "--begin" in sys.argv and shutil.which("Xvfb") is None:
        print("skipped: no Xvfb (scripts/setup.sh installs it with the test packages)")
        sys.exit(77)
    flags = ("--play", "--recorder", "--samples", "--key", "--begin", "--build")
    sys.exit(case.main(Ctx, [(f, False) for f in flags]))
