#!/usr/bin/env python3
# The fault matrix: the playback object against a recorder that misbehaves in every way we
# know of, and a host that does. One row a fault; for each, what matters to a host:
#
# - pictures: every picture delivered is byte-identical to the ffmpeg program's decode of the
#   access unit with its time (how many came is printed; a cut feed delivers fewer);
# - end callback: once, with the feed state the fault should give; none when the host closes
#   first;
# - close: a close with wait takes under a second;
# - left: no thread, descriptor or working file is left once the object is destroyed.
#
# usage: faults.py fault_matrix --host PATH --recorder PATH --samples DIR [--table FILE]
#
# Every cell must be the good one; the table (Markdown) is printed, and written to FILE.
import concurrent.futures
import os
import socket
import sys
import threading
import time

sys.path[:0] = [os.path.dirname(os.path.abspath(__file__)),
                os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")]
import e2e  # noqa: E402
import driver as e  # noqa: E402

KEY, SECONDS, SIZE = 3, 2, (640, 360)
WAIT = ["wait_end:30000"]
PLAYING = ["wait_pictures:5:20000"]
scenario = e.Cases()


def storm(times, *pairs):
    return [c for _ in range(times) for c in pairs]


def rows(offsets):
    # (fault, recorder options, or None for nothing listening, or "garbage" for a server of
    # garbage; host commands between open and close; end states wanted, or None for no end
    # callback; whether every picture of the range must come).
    return [
        ("connection refused", None, WAIT, {"3"}, False),
        ("accepted and silent", ["--no-answer"], ["wait_end:20000"], {"3"}, False),
        ("head, then 4 s of silence", ["--stall", "1:4000"], WAIT, {"101"}, True),
        ("cut mid-header", ["--close-after", str(offsets[29] + 36)], WAIT, {"3"}, False),
        ("cut mid-payload", ["--cut-record", "30"], WAIT, {"3"}, False),
        ("bad length", ["--bad-length", "30"], WAIT, {"3"}, False),
        ("stall of 5 s", ["--stall", "30:5000"], WAIT, {"101"}, True),
        ("end record 129", [], WAIT, {"101"}, True),
        ("end record 255", ["--end", "255"], WAIT, {"3"}, True),
        ("close without end", ["--end", "close"], WAIT, {"3"}, True),
        ("401 forever", ["--auth", "basic", "--password", "not-admin"], WAIT, {"3"}, False),
        ("garbage after the head", "garbage", WAIT, {"3"}, False),
        ("host: close while opening", ["--no-answer"], ["sleep:500"], None, False),
        ("host: close without wait, then destroy", [], ["wait_pictures:10:20000", "close:0"],
         None, False),
        ("host: pause storm", [], [*PLAYING, *storm(40, "pause", "sleep:20", "play", "sleep:20"),
                                   *WAIT], {"101"}, True),
        ("host: speed every 10 ms", [], [*PLAYING, *storm(35, "speed:1:1:1:1", "sleep:10",
                                                          "speed:2:1:1:1", "sleep:10",
                                                          "speed:0:1:1:1", "sleep:10"), *WAIT],
         {"101"}, False),
        ("host: reverse every 200 ms", [], [*PLAYING, *storm(6, "speed:0:0:1:1", "sleep:200",
                                                             "speed:0:1:1:1", "sleep:200"),
                                            "speed:0:1:1:1", "wait_end:60000"], {"3", "101"},
         False),
    ]


class Garbage:
    # A good response head, then bytes that are no frame record; closed half a second later.

    def __init__(self):
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        try:
            with self.sock.accept()[0] as conn:
                conn.recv(4096)
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n"
                             + bytes((i * 37 + 11) & 0xFF for i in range(8192)))
                time.sleep(0.5)
        except OSError:
            pass

    def close(self):
        self.sock.close()


def run_row(ctx, n, row, hashes):
    fault, options, middle, ends_wanted, whole = row
    save = os.path.join(ctx.work, "save%d" % n)  # rows run side by side
    os.makedirs(save)
    peer = (None if options is None else Garbage() if options == "garbage"
            else ctx.recorder(*options))
    port = peer.port if peer else e.free_port()
    # A warm-up cycle first, so that what the process keeps for good (SDL, the decoders'
    # worker pools) is counted before the checkpoint.
    r = ctx.run(["set:savefolder:" + save, "set:port:%d" % e.free_port(), "open1",
                 "wait_end:10000", *e2e.DONE, "reset", "checkpoint:before", "create:1",
                 *ctx.record(port, KEY, SECONDS), "set:savefolder:" + save, "hash:1", "open1",
                 *middle, *e2e.DONE, "checkpoint:after"], on_checkpoint=e.proc_counts, timeout=240)
    if peer:
        peer.close()
    since = int([c for c in r.of("CALL") if c[2] == "checkpoint"][0][1])
    pics = [p for p in r.pictures() if p[0] > since]
    bad = [p for p in pics if hashes.get(p[6]) != p[9]]
    ends = [x[2] for x in r.of("END") if int(x[1]) > since]
    took = max(int(c[3]) for c in r.of("CALL")
               if c[2] in ("close", "destroy") and int(c[1]) > since) / 1e6
    b, a = r.checkpoints["before"], r.checkpoints["after"]
    left = ([] if a == b else ["threads/descriptors %s -> %s" % (b, a)]) + (
        ["files %s" % os.listdir(save)] if os.listdir(save) else [])
    pictures = ((False, "%d of %d differ" % (len(bad), len(pics))) if bad else
                (False, "%d of %d" % (len(pics), len(hashes))) if whole and len(pics) != len(hashes)
                else (True, "%d intact" % len(pics)))
    end = ((ends_wanted is not None and ends[0] in ends_wanted, "once, state " + ends[0])
           if len(ends) == 1 else (not ends and ends_wanted is None, "%d times %s" % (
               len(ends), ends) if ends else "none (host closed)"))
    return fault, {"pictures": pictures, "end callback": end,
                   "close with wait": (took < 1.0, "%.3f s" % took),
                   "left behind": (not left, "; ".join(left) or "nothing")}


@scenario
def fault_matrix(ctx):
    body = e.fetch(ctx.rec.port, e.query(key=KEY, begin=(2024, 1, 1, 0, 0, 0),
                                         end=(2024, 1, 1, 0, 0, SECONDS), noaudio="True"))
    offsets = [sum(len(r.header) + len(r.payload) for r in body[:i]) for i in range(len(body))]
    hashes = e.reference(ctx.host, ctx.work, e.video_records_of(body), SIZE)
    table = ["| fault | pictures | end callback | close with wait | left behind |",
             "|---|---|---|---|---|"]
    failed = []
    # Three rows at a time: most of a row is waiting for the library's time-outs.
    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        done = list(pool.map(lambda n_row: run_row(ctx, *n_row, hashes), enumerate(rows(offsets))))
    for fault, cells in done:
        table.append("| %s | %s |" % (fault, " | ".join(
            text if good else "**%s**" % text for good, text in cells.values())))
        print(table[-1], flush=True)
        failed += ["%s: %s %s" % (fault, k, text) for k, (good, text) in cells.items() if not good]
    if ctx.table:
        with open(ctx.table, "w") as f:
            f.write("\n".join(table) + "\n")
    e.expect(not failed, "cells not good:\n" + "\n".join(failed))


class Ctx(e2e.Ctx):
    def __init__(self, args):
        super().__init__(args)
        self.table = args.table


if __name__ == "__main__":
    sys.exit(scenario.main(Ctx, [("--host", True), ("--recorder", True), ("--samples", True),
                                 ("--table", False)]))
