#!/usr/bin/env python3
"""The README's main command, shortened: it ends well and leaves a contact sheet of the
documented size made of real pictures.

usage: demo_test.py --build DIR"""
import argparse
import json
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import driver as pl  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    args = ap.parse_args()
    work = pl.temp_dir("demo")
    out = os.path.join(work, "out")
    try:
        env = dict(os.environ)
        env.pop("DISPLAY", None)  # the demo must work on a machine without one
        p = pl.run_tree(["bash", os.path.join(ROOT, "scripts", "demo.sh"), "--build",
                         args.build, "--short", "--out", out], timeout=240, env=env)
        if p.returncode != 0:
            raise AssertionError("demo exit code %d:\n%s\n%s" % (p.returncode, p.stdout[-2000:],
                                                                p.stderr[-2000:]))
        # Only the demo's own lines and the progress line: no notice of SDL's (its disk audio
        # driver announced itself at every open of the device).
        if re.search(r"^(CRITICAL|ERROR|WARN|INFO): ", p.stdout + p.stderr, re.M):
            raise AssertionError("SDL's notices in the demo's output:\n" + p.stderr[-2000:])
        sheet = os.path.join(out, "contact-sheet.png")
        if "demo: contact sheet: %s" % sheet not in p.stdout.splitlines():
            raise AssertionError("the demo does not say where the sheet is:\n" + p.stdout)
        size = pl.png_size(sheet)
        if size != (1320, 760):
            raise AssertionError("contact sheet is %dx%d, not 1320x760" % size)
        with open(os.path.join(out, "summary.json")) as f:
            s = json.load(f)
        # 4 s at 1x, 2 s in reverse, 2 s at 4x: far more than the sheet's 16 thumbnails.
        if s["pictures"] < 100 or s["sheet_pictures"] != 16 or s.get("error"):
            raise AssertionError("summary: %s" % s)
        if s["width"] != 1920 or s["height"] != 1080:
            raise AssertionError("pictures of %sx%s, not the 1080p clip" % (s["width"],
                                                                          s["height"]))
    finally:
        pl.remove(work)
    print("ok demo")


if __name__ == "__main__":
    main()
