#!/usr/bin/env python3
"""Finds the stretches of a recording in which something moves.

    examples/motion.py --port 8554 --key 60 --begin "2024/01/01 00:00:00" --seconds 20

Plays the range at 2 ** --speed times real time with the "pace" policy (every picture, as fast
as this program takes them), scores each picture by the share of its pixels that changed from
the picture before, and prints one line a stretch: "moving FROM TO" (recorder times). With
matplotlib installed it also writes the score over time to --plot (motion.png)."""
import argparse
import datetime
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import varnel  # noqa: E402  (from this source tree when run from it)

PIXEL_CHANGE = 24  # grey levels: well above what the encoder leaves on a still scene
MOVING_SHARE = 0.0005  # of the pixels: a 20-pixel object moving by one pixel in 320x240
STILL_GAP = datetime.timedelta(seconds=0.5)  # shorter pauses do not split a stretch


def scores(stream):
    """(time, share of changed pixels) for each picture after the first."""
    before = None
    for frame in stream:
        # Grey at half size: enough to see an object move, a quarter of the work.
        grey = frame.image[::2, ::2].mean(axis=2, dtype=np.float32)
        if before is not None:
            yield frame.time, float(np.mean(np.abs(grey - before) > PIXEL_CHANGE))
        before = grey


def stretches(scored):
    """[from, to] of the runs of moving pictures, runs closer than STILL_GAP joined."""
    out = []
    for t, score in scored:
        if score < MOVING_SHARE:
            continue
        if out and t - out[-1][1] <= STILL_GAP:
            out[-1][1] = t
        else:
            out.append([t, t])
    return out


def plot(scored, path):
    try:
        import matplotlib
    except ImportError:
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(10, 3))
    ax.plot([t for t, _ in scored], [s * 100 for _, s in scored])
    ax.axhline(MOVING_SHARE * 100, color="red", linewidth=0.8)
    ax.set_xlabel("recorder time")
    ax.set_ylabel("pixels changed (%)")
    fig.autofmt_xdate()
    fig.savefig(path, dpi=100, bbox_inches="tight")
    plt.close(fig)
    return True


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=8554)
    ap.add_argument("--key", type=int, default=60)
    ap.add_argument("--begin", default="2024/01/01 00:00:00")
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--speed", type=int, default=3, help="2 ** SPEED times real time")
    ap.add_argument("--plot", default="motion.png")
    args = ap.parse_args()
    begin = datetime.datetime.strptime(args.begin, "%Y/%m/%d %H:%M:%S")
    end = begin + datetime.timedelta(seconds=args.seconds)
    try:
        with varnel.open(args.host, args.port, args.key, begin, end, speed=args.speed) as stream:
            scored = [(t, s) for t, s in scores(stream) if begin <= t <= end]
    except ConnectionError as err:
        print("motion: %s" % err, file=sys.stderr)
        return 3
    for start, stop in stretches(scored):
        print("moving %s %s" % (start.strftime("%H:%M:%S.%f")[:-3],
                                stop.strftime("%H:%M:%S.%f")[:-3]))
    if plot(scored, args.plot):
        print("plot: %s" % args.plot)
    return 0


if __name__ == "__main__":
    sys.exit(main())
