#!/usr/bin/env python3
"""varnel-play's answers to bad command lines, to an unreachable recorder and to a range with
nothing in it: the documented message on standard error and the documented exit code.

usage: cli_test.py CASE --play PATH [--recorder PATH --samples DIR]"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import driver as pl  # noqa: E402

case = pl.Cases()
expect = pl.expect


@case
def bad_options(ctx):
    """How the program reports a bad command line (each message is held by the options' unit
    case): the message, the hint, exit code 2, nothing on standard output or on disk."""
    for args, message in ((["--bogus"], "varnel-play: unknown option '--bogus'"),
                          (["--port", "99999"],
                           "varnel-play: --port: '99999' is not a port from 1 to 65535")):
        code, out, err = pl.play(ctx.play, args + ["--out", ctx.out])
        lines = err.splitlines()
        expect(code == 2, "%s: exit code %d" % (args, code))
        expect(lines[:2] == [message, "Try 'varnel-play --help'."], "%s: %r" % (args, lines))
        expect(out == "", "%s: nothing on standard output: %r" % (args, out))
    expect(not os.path.exists(ctx.out), "a bad command line writes nothing")
    code, out, _ = pl.play(ctx.play, ["--help"])
    expect(code == 0 and "Exit codes:" in out and "--window" in out, "help: %d" % code)


@case
def unreachable(ctx):
    port = pl.free_port()
    # With an account: no output, summary or trace of the program holds the password.
    trace = os.path.join(ctx.out, "trace.txt")
    code, out, err = pl.play(ctx.play, ["--headless", "--ip", "alice:s3cret@127.0.0.1", "--port",
                                        str(port), "--out", ctx.out, "--timeout", "15", "--json",
                                        os.path.join(ctx.out, "s.json"), "--trace", trace],
                             timeout=60)
    texts = [out, err] + [open(os.path.join(ctx.out, f), errors="replace").read()
                          for f in os.listdir(ctx.out) if os.path.isfile(os.path.join(ctx.out, f))]
    expect(not [t for t in texts if "s3cret" in t] and "alice:***@" in open(trace).read(), "password")
    message = "varnel-play: cannot reach the recorder at 127.0.0.1:%d (Connection refused)" % port
    expect(code == 3, "exit code %d: %s" % (code, err[-500:]))
    expect(message in err.splitlines(), "message: %r" % err[-500:])
    s = pl.summary(os.path.join(ctx.out, "s.json"))
    expect(s["pictures"] == 0 and s["error"] == message[len("varnel-play: "):], str(s))
    expect(not os.path.exists(os.path.join(ctx.out, "contact-sheet.png")), "no sheet")
    expect(not os.path.exists(os.path.join(ctx.out, "work")), "working folder removed")


@case
def nothing_in_range(ctx):
    with pl.Recorder(ctx.recorder, ctx.samples, ctx.work) as rec:
        code, _, err = pl.play(ctx.play, ["--headless", "--port", str(rec.port), "--out", ctx.out,
                                          "--begin", "1999/01/01 00:00:00", "--length", "10",
                                          "--timeout", "15"], timeout=60)
    message = ("varnel-play: no pictures in the range 1999/01/01 00:00:00.000 - "
               "1999/01/01 00:00:10.000 from 127.0.0.1:%d" % rec.port)
    expect(code == 4, "exit code %d: %s" % (code, err[-500:]))
    expect(message in err.splitlines(), "message: %r" % err[-500:])


@case
def channels(ctx):
    """--channels plays several channels in step through the media element: a summary line
    for each, and a contact sheet with one row of thumbnails a channel."""
    with pl.Recorder(ctx.recorder, ctx.samples, ctx.work) as rec:
        code, out, err = pl.play(ctx.play, ["--headless", "--channels", "3,4", "--port",
                                            str(rec.port), "--length", "4", "--out", ctx.out,
                                            "--quiet"], timeout=90)
    expect(code == 0, "exit code %d: %s" % (code, err[-500:]))
    lines = {l.split()[1]: l.split() for l in out.splitlines() if l.startswith("channel ")}
    expect(sorted(lines) == ["3", "4"], "a line a channel: %s" % out)
    for c, fields in lines.items():
        expect(int(fields[2]) >= 90 and fields[4] == "2024/01/01", "channel %s: %s" % (c, fields))
    # 640x360 thumbnails 320 wide, four a row (the default), one row a channel.
    expect(pl.png_size(os.path.join(ctx.out, "contact-sheet.png")) == (1320, 392),
           "sheet size %s" % (pl.png_size(os.path.join(ctx.out, "contact-sheet.png")),))
    expect(not os.path.exists(os.path.join(ctx.out, "work")), "working folder removed")


@case
def unwritable_output(ctx):
    blocker = os.path.join(ctx.work, "file")
    open(blocker, "w").close()
    code, _, err = pl.play(ctx.play, ["--headless", "--out", os.path.join(blocker, "out")])
    expect(code == 1, "exit code %d" % code)
    expect(err.startswith("varnel-play: cannot create the output folder " +
                          os.path.join(blocker, "out") + ": "), err)


class Ctx:
    def __init__(self, args):
        self.play, self.recorder, self.samples = args.play, args.recorder, args.samples
        self.work = pl.temp_dir("cli")
        self.out = os.path.join(self.work, "out")


if __name__ == "__main__":
    sys.exit(case.main(Ctx, [("--play", True), ("--recorder", False), ("--samples", False)]))
