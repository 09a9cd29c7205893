#!/usr/bin/env python3
# varnel-recorder seen from a plain client on raw sockets (not the library): what goes out,
# in which order, and how it answers commands and bad requests.
#
# usage: recorder_test.py CASE --recorder PATH --samples DIR
import os
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import driver as e  # noqa: E402

T0 = e.frame_time(2024, 1, 1)
SECOND = 10_000_000

case = e.Cases()
expect = e.expect
video = e.video_records_of


def at(s):
    return (2024, 1, 1, 0, 0, s)


class Conn:
    # One raw connection: the request, the head of the answer, then records as they come.

    def __init__(self, port, target):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=20)
        self.s.sendall(b"GET " + target.replace(" ", "%20").encode() + b" HTTP/1.1\r\n\r\n")
        self.buf = b""
        while b"\r\n\r\n" not in self.buf and (chunk := self.s.recv(65536)):
            self.buf += chunk
        head, _, self.buf = self.buf.partition(b"\r\n\r\n")
        self.status = int(head.split()[1])

    def record(self, timeout=10):
        # The next record, or None when the connection closes (or nothing comes in time).
        self.s.settimeout(timeout)
        while not (recs := e.parse_records(self.buf)):
            try:
                chunk = self.s.recv(1 << 20)
            except socket.timeout:
                return None
            if not chunk:
                return None
            self.buf += chunk
        self.buf = self.buf[72 + recs[0].length:]
        return recs[0]

    def send(self, line):
        self.s.sendall(line.encode() + b"\r\n")


@case
def forward_layout(ctx):
    # Record layout at its offsets, the first frame time at the group holding BeginTime, times
    # rising, sound between the pictures, the closing key frame after EndTime, the end record.
    recs = e.fetch(ctx.rec.port, e.query(key=1, begin=at(2), end=at(5))
                   .replace("2024/01/01 00:00:02.000", "2024/01/01 00:00:02.500"))
    expect(recs[-1].kind == 129 and recs[-1].length == 0, "ends with an end record of kind 129")
    body = recs[:-1]
    expect(all(r.header[12:16] + r.header[40:60] + r.header[68:72] == bytes(28) and
               r.length == len(r.payload) and r.channel == 1 and r.orientation == 1
               for r in body), "padding and unused fields zero, the others as sent")
    v = video(body)
    expect(v[0].key == 1 and v[0].frame_time == T0 + 2 * SECOND,
           "starts at the key frame at or before BeginTime: %d" % (v[0].frame_time - T0))
    expect(all(r.codec == "h264" and r.duration == 40 for r in v), "h264, 40 ms")
    times = [r.frame_time for r in v]
    expect(times == sorted(set(times)), "video times rising")
    expect(times[-2] <= T0 + 5 * SECOND and v[-1].key == 1 and times[-1] == T0 + 6 * SECOND,
           "in range up to EndTime, then the key frame after it")
    expect([i for i, r in enumerate(v) if r.key] == [0, 25, 50, 75, 76], "1 s groups")
    a = [r for r in body if r.kind == 2]
    expect(a and all(r.length == 320 and r.duration == 40 for r in a), "40 ms µ-law blocks")
    expect([r.audio_time for r in a] == [40 * i for i in range(len(a))], "audioTime in ms")
    order = [r.frame_time for r in body]
    expect(order == sorted(order), "sound interleaved by time")


@case
def rewind_and_key_frames(ctx):
    # Rewind: whole groups in falling order, each forward, orientation 0, no sound, closed by
    # the key frame of the group before. Key frames only: their durations add up to the play
    # time of the frames they stand for.
    def get(begin=at(2), end=at(5), **kw):
        return e.fetch(ctx.rec.port, e.query(key=1, begin=begin, end=end, **kw))
    back, full = get(orientation="Rewind"), get()
    keys, quiet = get(keyonly="True"), get(noaudio="True")
    empty = [get((1999, 1, 1, 0, 0, 0), (1999, 1, 1, 0, 0, 10), orientation=o)
             for o in ("Forward", "Rewind")]
    after = get(end=at(3), noaudio="True")
    body = back[:-1]
    expect(all(r.kind == 1 and r.orientation == 0 for r in body), "video only, orientation 0")
    starts = [r.frame_time for r in body if r.key]
    expect(starts == [T0 + s * SECOND for s in (5, 4, 3, 2, 1)], "groups 5..2, then key 1")
    for g in range(4):
        expect([r.frame_time for r in body[25 * g:25 * (g + 1)]] ==
               [starts[g] + i * 400_000 for i in range(25)], "group %d in forward order" % g)
    expect(len(body) == 101, "four groups and the closing key frame: %d" % len(body))

    kv = video(keys[:-1])
    expect(all(r.key for r in kv) and len(kv) == 5, "key frames only")
    in_range = sum(r.duration for r in video(full[:-1])[:-1])
    expect(sum(r.duration for r in kv[:-1]) == in_range,
           "key frame durations %s add up to %d ms" % ([r.duration for r in kv], in_range))
    expect(not [r for r in keys if r.kind == 2], "no sound with key frames only")
    expect(not [r for r in quiet if r.kind == 2] and len(video(quiet)) == len(video(full)),
           "NoAudio leaves out the sound only")
    expect([[r.kind for r in x] for x in empty] == [[129]] * 2, "nothing in range: the end alone")
    expect(len(video(after)) > 0, "the recorder still serves after an empty rewind")


@case
def commands(ctx):
    # Pause stops the flow before the next record and Play resumes it; the key-frame flag
    # takes effect from the next group; IsSeek continues from the group holding its time.
    lines = ["Type=Pause,OnlyeKyFrame=0,NOAudio=0", "Type=Play,OnlyeKyFrame=1,NOAudio=0",
             "IsSeek=True,SeekTime=2024/01/01 00:00:15.300,Orientation=Forward"]
    with ctx.recorder("--pace", "1") as rec:
        c = Conn(rec.port, e.query(key=3, begin=at(0), end=at(19)))
        expect(c.status == 200, "status %d" % c.status)
        for _ in range(10):
            c.record()
        c.send(lines[0])
        sent, late = time.time(), 0
        while c.record(timeout=1.0) is not None:
            late += time.time() - sent > 0.1
        expect(not late, "%d records came after Pause" % late)
        c.send(lines[1])
        rest = [c.record(timeout=2)]
        expect(rest[0] is not None, "Play resumes")
        while rest[-1].key != 1:  # the group under way goes out whole
            rest.append(c.record())
        expect(len(rest) < 26, "the next group starts within a second of play")
        rest = [rest[-1], c.record(), c.record()]
        expect(all(r.key == 1 and r.duration == 1000 for r in rest),
               "key frames only from the next group: %s" % [(r.key, r.duration) for r in rest])
        c.send(lines[2])
        times, deadline = [], time.time() + 5
        while time.time() < deadline and (r := c.record(timeout=2)) is not None:
            times.append(r.frame_time)
            if r.frame_time == T0 + 15 * SECOND:
                break
        expect(times and times[-1] == T0 + 15 * SECOND, "seek reaches 00:00:15: %s" %
               [(t - T0) / SECOND for t in times])
        c.s.close()
        time.sleep(0.3)
        log = "\n".join(rec.log())
    expect(all(line in log for line in lines), "the log has the command lines")


@case
def bad_requests(ctx):
    # 400 and 404; garbage does not bring the recorder down.
    for target, status in (("/Nothing.cgi?Key=1", 404),
                           (e.query(key=99, begin=at(0), end=at(1)), 404),
                           ("/PlayBack1.cgi?SubKey=0", 400),
                           ("/PlayBack1.cgi?Key=1,BeginTime=2024/13/01 00:00:00,"
                            "EndTime=2024/01/01 00:00:01", 400)):
        c = Conn(ctx.rec.port, target)
        expect(c.status == status, "%s: %d" % (target, c.status))
        c.s.close()
    for junk in (b"\x00\xff" * 5000 + b"\r\n\r\n", b"POST /PlayBack1.cgi HTTP/1.1\r\n\r\n",
                 b"GET\r\n\r\n", b"\r\n\r\n"):
        with socket.create_connection(("127.0.0.1", ctx.rec.port), timeout=10) as s:
            s.sendall(junk)
            answer = s.recv(100)
            expect(answer.startswith(b"HTTP/1.1 400"), "%r: %r" % (junk[:20], answer))
    expect(e.fetch(ctx.rec.port, e.query(key=3, begin=at(0), end=at(1)))[-1].kind == 129,
           "still serving")
    expect(ctx.rec.proc.poll() is None, "still running")


def frame_hashes(*args):
    out = subprocess.run(["ffmpeg", "-v", "error", *args, "-f", "framemd5", "-"],
                         capture_output=True, text=True, check=True).stdout
    return [l.split(",")[-1].strip() for l in out.splitlines() if l and not l.startswith("#")]


@case
def payloads_decode_as_source(ctx):
    # The video payloads of a forward stream, concatenated, decode with the ffmpeg program to
    # the very frames of the source file (H.265 in MKV, H.264 in MPEG-TS, raw Annex B, and a
    # recording that changes from H.264 to H.265).
    for key, files in ((2, ["ch2-720p-hevc.mkv"]), (3, ["ch3-360p-h264.ts"]),
                       (4, ["ch4-360p-h264.h264"]),
                       (5, ["ch5a-240p-h264.mp4", "ch5b-240p-hevc.mkv"])):
        v = video(e.fetch(ctx.rec.port, e.query(key=key, begin=at(0),
                                                end=(2024, 1, 1, 0, 1, 0), noaudio="True")))
        want = [h for f in files for h in
                frame_hashes("-i", os.path.join(ctx.samples, f), "-map", "0:v")]
        got = []
        for codec in ("h264", "hevc"):
            units = b"".join(r.payload for r in v if r.codec == codec)
            if units:
                path = os.path.join(ctx.work, "units.%s" % codec)
                open(path, "wb").write(units)
                got += frame_hashes("-f", codec, "-i", path)
        expect(len(v) == len(want), "key %d: %d records, %d frames" % (key, len(v), len(want)))
        expect(got == want, "key %d: %d of %d frames equal" %
               (key, sum(a == b for a, b in zip(got, want)), len(want)))


if __name__ == "__main__":
    sys.exit(case.main(e.Work, [("--recorder", True), ("--samples", True)]))
