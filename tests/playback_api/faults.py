#!/usr/bin/env python3
"""The fault matrix: the playback object against a recorder that misbehaves in every way we
know of, and a host that does. One row a fault; for each, what matters to a host:

- pictures: every picture delivered is byte-identical to the ffmpeg program's decode of the
  access unit with its time (how many came is printed; a cut feed delivers fewer);
- end callback: once, with the feed state the fault should give; none when the host closes
  first;
- close: a close with wait takes under a second;
- left: no thread, descriptor or working file is left once the object is destroyed.

usage: faults.py fault_matrix --host PATH --recorder PATH --samples DIR [--table FILE]

Every cell must be the good one; the table (Markdown) is printed, and written to FILE."""
import os
import sys

sys.path[:0] = [os.path.dirname(os.path.abspath(__file__)),
                os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")]
import e2e  # noqa: E402
import driver as e  # noqa: E402

KEY, SECONDS, SIZE = 3, 2, (640, 360)
BEGIN = (2024, 1, 1, 0, 0, 0)
END = BEGIN[:5] + (BEGIN[5] + SECONDS,)

scenario = e.Cases()
expect = e.expect


def storm(pairs, times):
    """The host commands of a storm: the pairs of commands, repeated."""
    return [c for _ in range(times) for c in pairs]


PAUSES = storm(["pause", "sleep:20", "play", "sleep:20"], 40)
SPEEDS = storm(["speed:1:1:1:1", "sleep:10", "speed:2:1:1:1", "sleep:10", "speed:0:1:1:1",
                "sleep:10"], 35)
REVERSES = storm(["speed:0:0:1:1", "sleep:200", "speed:0:1:1:1", "sleep:200"], 6)


def rows(offsets):
    """(fault, recorder options or None for nothing listening or "garbage" for a server of
    garbage, host commands between open and close, end states wanted or None for no end
    callback, whether every picture of the range must come)."""
    mid_header = offsets[29] + 36  # inside the header of record 30
    wait = ["wait_end:30000"]
    return [
        ("connection refused", None, wait, {"3"}, False),
        ("accepted and silent", ["--no-answer"], ["wait_end:20000"], {"3"}, False),
        ("head, then 4 s of silence", ["--stall", "1:4000"], wait, {"101"}, True),
        ("cut mid-header", ["--close-after", str(mid_header)], wait, {"3"}, False),
        ("cut mid-payload", ["--cut-record", "30"], wait, {"3"}, False),
        ("bad length", ["--bad-length", "30"], wait, {"3"}, False),
        ("stall of 5 s", ["--stall", "30:5000"], wait, {"101"}, True),
        ("end record 129", [], wait, {"101"}, True),
        ("end record 255", ["--end", "255"], wait, {"3"}, True),
        ("close without end", ["--end", "close"], wait, {"3"}, True),
        ("401 forever", ["--auth", "basic", "--password", "not-admin"], wait, {"3"}, False),
        ("garbage after the head", "garbage", wait, {"3"}, False),
        ("host: close while opening", ["--no-answer"], ["sleep:500"], None, False),
        ("host: close without wait, then destroy", [], ["wait_pictures:10:20000", "close:0"],
         None, False),
        ("host: pause storm", [], ["wait_pictures:5:20000", *PAUSES, *wait], {"101"}, True),
        ("host: speed every 10 ms", [], ["wait_pictures:5:20000", *SPEEDS, *wait], {"101"},
         False),
        ("host: reverse every 200 ms", [], ["wait_pictures:5:20000", *REVERSES,
                                            "speed:0:1:1:1", "wait_end:60000"], {"3", "101"},
         False),
    ]


class Garbage:
    """Bytes that are no frame record, served after a good response head."""
    header = bytes((i * 37 + 11) & 0xFF for i in range(8192))
    payload = b""


def reference(ctx):
    """The access units of the range by time, with the ffmpeg program's picture hashes, and
    the body offset of each record."""
    rec = e2e.recorder(ctx)
    try:
        body = e.fetch(rec.port, e.query(key=KEY, begin=BEGIN, end=END, noaudio="True"))
    finally:
        rec.close()
    offsets, pos = [], 0
    for r in body:
        offsets.append(pos)
        pos += len(r.header) + len(r.payload)
    return e2e.hashes_by_time(ctx, e.video_records_of(body), "units.h264", *SIZE), offsets


def run_row(ctx, row, hashes):
    fault, options, middle, ends_wanted, whole = row
    # A warm-up cycle first, so that what the process keeps for good (SDL, the decoders'
    # worker pools) is counted before the checkpoint.
    warm = ["create:1", "set:savefolder:" + ctx.save, "set:port:%d" % e.free_port(), "open1",
            "wait_end:10000", "close:1", "destroy"]
    peer = (None if options is None else e.RecordServer([Garbage]) if options == "garbage"
            else e2e.recorder(ctx, *options))
    port = peer.port if peer else e.free_port()
    try:
        r = ctx.run(warm + ["reset", "checkpoint:before", "create:1", "set:savefolder:" +
                            ctx.save, "set:noaudio:1", "hash:1",
                            *e2e.record_commands(port, key=KEY, begin=BEGIN, seconds=SECONDS),
                            "open1", *middle, "close:1", "destroy", "checkpoint:after"],
                    on_checkpoint=e2e.counts, timeout=240)
    finally:
        if peer:
            peer.close()
    r.check_ok()
    since = int([c for c in r.of("CALL") if c[2] == "checkpoint"][0][1])
    pics = [p for p in r.pictures() if p[0] > since]
    bad = [p for p in pics if hashes.get(p[6]) != p[9]]
    ends = [x[2] for x in r.of("END") if int(x[1]) > since]
    took = e2e.close_took(r, since)
    b, a = r.checkpoints["before"], r.checkpoints["after"]
    left = [] if a == b else ["threads/descriptors %s -> %s" % (b, a)]
    if ctx.saved_files():
        left.append("files %s" % ctx.saved_files())
    if bad:
        pictures = (False, "%d of %d differ" % (len(bad), len(pics)))
    elif whole and len(pics) != len(hashes):
        pictures = (False, "%d of %d" % (len(pics), len(hashes)))
    else:
        pictures = (True, "%d intact" % len(pics))
    if len(ends) == 1:
        end = (ends_wanted is not None and ends[0] in ends_wanted, "once, state " + ends[0])
    else:
        end = (not ends and ends_wanted is None,
               "%d times %s" % (len(ends), ends) if ends else "none (host closed)")
    cells = {"pictures": pictures, "end callback": end,
             "close with wait": (took < 1.0, "%.3f s" % took),
             "left behind": (not left, "; ".join(left) or "nothing")}
    return fault, cells


@scenario
def fault_matrix(ctx):
    hashes, offsets = reference(ctx)
    table = ["| fault | pictures | end callback | close with wait | left behind |",
             "|---|---|---|---|---|"]
    failed = []
    for row in rows(offsets):
        fault, cells = run_row(ctx, row, hashes)
        marks = []
        for column, (good, text) in cells.items():
            marks.append(text if good else "**%s**" % text)
            if not good:
                failed.append("%s: %s %s" % (fault, column, text))
        table.append("| %s | %s |" % (fault, " | ".join(marks)))
        print(table[-1], flush=True)
    text = "\n".join(table) + "\n"
    if ctx.table:
        with open(ctx.table, "w") as f:
            f.write(text)
    expect(not failed, "cells not good:\n" + "\n".join(failed))


class Ctx(e2e.Ctx):
    def __init__(self, args):
        super().__init__(args)
        self.table = args.table


if __name__ == "__main__":
    sys.exit(scenario.main(Ctx, [("--host", True), ("--recorder", True), ("--samples", True),
                                 ("--table", False)]))
