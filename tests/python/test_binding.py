# The Python binding against varnel-recorder: the same pictures as a C host, the two queue
# policies, frame steps, argument and connection errors, and open/close cycles that leave
# nothing behind.
import datetime
import gc
import os
import subprocess
import sys
import threading

import pytest

import varnel

T0 = datetime.datetime(2024, 1, 1)
BEGIN, END = "2024/01/01 00:00:00", "2024/01/01 00:00:04"
FRAME = datetime.timedelta(milliseconds=40)


def c_host(exe, api, tmp_path, commands):
    # Runs the C test host on one interface with hashing on; its PIC lines, split.
    log = str(tmp_path / "host.log")
    subprocess.run([exe, api, log, "hash:1", *commands], check=True, timeout=120,
                   env=dict(os.environ, SDL_AUDIODRIVER="dummy"), stdout=subprocess.DEVNULL)
    with open(log) as f:
        return [line.split() for line in f if line.startswith("PIC ")]


def test_pictures_equal_the_c_hosts(opt, recorder, tmp_path):
    # Each engine, the same range: every picture byte-equal to the C host's, with its time and
    # channel, as (h, w, 3) uint8. The C host hashes the binding's pictures itself (--hash W H
    # on standard input).
    port, save = recorder.port, "set:savefolder:%s" % tmp_path
    rng = ["set:port:%d" % port, "set:begin:2024/1/1/0/0/0", "set:end:2024/1/1/0/0/4"]
    # (host, its commands, which of its lines are pictures, the columns of time, channel and
    # hash, the stream); the element's channels are compared each on its own, since two
    # pictures due at the same time may come in either order.
    cases = [
        ("playback", ["create:1", save, "set:noaudio:1", "set:key:3", "set:speed:2", *rng,
                           "open1", "wait_end:30000", "close:1", "destroy"],
         lambda l: True, (7, None, 10),
         lambda: varnel.open("127.0.0.1", port, 3, BEGIN, END, speed=2)),
        ("element", ["create", save, "set:noaudio:1", "set:channels:3,4", *rng, "open",
                          "wait_pictures:100:30000", "wait_quiet:3000", "close", "destroy"],
         lambda l: l[5] == "1", (8, 4, 12),
         lambda: varnel.open_channels("127.0.0.1", port, [3, 4], BEGIN, END, idle=3)),
    ]
    for api, commands, is_picture, (t, c, h), stream in cases:
        want = [(int(l[t]), int(l[c]) if c else 3, l[h])
                for l in c_host(opt("host"), api, tmp_path, commands) if is_picture(l)]
        with stream() as s:
            got = list(s)
        assert len(got) > 100, api
        assert {(f.image.shape, f.image.dtype.name, f.source) for f in got} == {
            ((360, 640, 3), "uint8", 0)}
        hashes = subprocess.run([opt("host"), "--hash", "640", "360"], check=True,
                                input=b"".join(f.image.tobytes() for f in got),
                                capture_output=True).stdout.decode().split()
        got = [((f.time - datetime.datetime(1, 1, 1)) // datetime.timedelta(microseconds=1) * 10,
                f.channel, x) for f, x in zip(got, hashes)]
        assert sorted(got, key=lambda x: x[1]) == sorted(want, key=lambda x: x[1]), api


@pytest.mark.parametrize("policy, delay", [("pace", 0), ("pace", 0.02), ("drop-oldest", 0.1)])
def test_policies(recorder, policy, delay):
    # pace: every picture through a queue of two, also to a consumer that empties it at once
    # (so that a pause is lifted right after it was asked for); drop-oldest: what was not
    # dropped comes in order, and the last picture of the range is among it. (The playback runs
    # at 32 times real time; a stalled one shows as pictures missing.)
    with varnel.open("127.0.0.1", recorder.port, 3, BEGIN, END, speed=5, policy=policy,
                     queue_size=2) as s:
        got = []
        while (f := s.get(10)) is not None:
            got.append(f.time)
            threading.Event().wait(delay)
        dropped = s.dropped
    every = [T0 + i * FRAME for i in range(101)] + [T0 + datetime.timedelta(seconds=5)]
    if policy == "pace":
        assert (got, dropped) == (every, 0)
    else:
        assert dropped > 0 and len(got) + dropped == len(every)
        assert got == sorted(got) and set(got) <= set(every) and got[-1] == every[-1]


def drain(s, quiet=2.0):
    # What comes until nothing has come for quiet seconds.
    out = []
    while (f := s.get(quiet)) is not None:
        out.append(f.time)
    return out


def test_frame_steps(recorder):
    # Paused, each step shows exactly the next (or, back, the previous) picture; play after a
    # step forward goes on from the picture shown. (A step's picture comes within milliseconds:
    # half a second without one is the end of it.)
    with varnel.open_channels("127.0.0.1", recorder.port, [3], BEGIN, "2024/01/01 00:00:10",
                              reverse="smooth") as s:
        taken = [next(s).time for _ in range(5)]
        s.pause()
        shown = (taken + drain(s))[-1]
        steps = []
        for step in [s.step_forward] * 3 + [s.step_back] * 2 + [s.step_forward]:
            step()  # as soon as the last step's picture is here: none may be lost
            steps.append(getattr(s.get(10), "time", None))
        assert steps + drain(s, 0.5) == [shown + k * FRAME for k in (1, 2, 3, 2, 1, 2)]
        s.play()
        assert next(s).time == shown + 3 * FRAME


NOWHERE = "/nonexistent/libvarnel.so.0"
BAD = {  # (argument, a bad value, its error): each tried alone, the other arguments good
    varnel.open: [
        ("host", 1, TypeError), ("host", "a b", ValueError), ("port", "8554", TypeError),
        ("port", True, TypeError), ("port", 70000, ValueError), ("key", -1, ValueError),
        ("begin", 20240101, TypeError), ("begin", "2024-01-01", ValueError),
        ("end", BEGIN, ValueError), ("speed", 6, ValueError), ("speed", 1.0, TypeError),
        ("reverse", "fast", ValueError), ("fos", 0, ValueError), ("policy", "block", ValueError),
        ("queue_size", 0, ValueError)],
    varnel.open_channels: [
        ("host", "localhost", ValueError), ("channels", 3, TypeError), ("idle", 0, ValueError),
        ("channels", [], ValueError), ("channels", [3, 3], ValueError),
        ("channels", [3, "4"], TypeError)],
}


def test_bad_arguments_never_reach_the_library():
    # Each bad argument raises its error before the library is looked for (which good
    # arguments get to: OSError, it is not there).
    for fn, cases in BAD.items():
        good = dict(host="127.0.0.1", port=8554, begin=BEGIN, end=END,
                    **({"key": 1} if fn is varnel.open else {"channels": [1, 2]}))
        for name, value, error in cases + [("port", 8554, OSError)]:
            with pytest.raises(error) as raised:
                fn(**{**good, name: value}, library=NOWHERE)
            assert type(raised.value) is error and str(raised.value), (name, value)


def test_unreachable_recorder_raises_connection_error():
    # Port 1 of loopback, where nothing listens.
    for stream in (varnel.open("127.0.0.1", 1, 3, BEGIN, END),
                   varnel.open_channels("127.0.0.1", 1, [3], BEGIN, END, connect_timeout=1)):
        with stream, pytest.raises(ConnectionError, match="127.0.0.1:1"):
            next(stream)


def test_cycles_leave_nothing(recorder, tmp_path):
    # 100 opens and closes, half with pictures flowing, every tenth with a consumer blocked in
    # the iterator of a paused stream, every fifth of the element: no thread, descriptor or
    # file is left, and no close waits for the consumer.
    counts = lambda: (len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd")))
    before = counts()
    for i in range(100):
        if i % 5 == 0:
            s = varnel.open_channels("127.0.0.1", recorder.port, [3, 4], BEGIN, END,
                                     save_folder=str(tmp_path))
        else:
            s = varnel.open("127.0.0.1", recorder.port, 3, BEGIN, END, save_folder=str(tmp_path))
        with s:
            if i % 2:
                next(s)
            if i % 10 == 1:
                s.pause()
                drain(s, 0.3)  # a picture still coming after it is taken by the consumer
                consumer = threading.Thread(target=lambda: list(s))
                consumer.start()
        if i % 10 == 1:
            consumer.join(10)
            assert not consumer.is_alive(), "the consumer was left waiting"
        gc.collect()  # a callback collected too early would crash the next picture
    threading.Event().wait(0.2)  # threads that have been joined leave the list a moment later
    assert (counts(), os.listdir(tmp_path)) == (before, [])


def test_motion_example(recorder, tmp_path):
    # examples/motion.py on the clip in which a box moves from 4 s to 8 s and from 13 s to
    # 16 s: those two stretches (to the picture), and the plot when matplotlib is there.
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "motion.py")
    plot = tmp_path / "motion.png"
    out = subprocess.run([sys.executable, example, "--port", str(recorder.port), "--key", "60",
                          "--plot", str(plot)], capture_output=True, text=True, check=True,
                         timeout=120).stdout.splitlines()
    found = [[datetime.datetime.strptime("2024/01/01 " + t, "%Y/%m/%d %H:%M:%S.%f") - T0
              for t in line.split()[1:]] for line in out if line.startswith("moving ")]
    want = [[datetime.timedelta(seconds=s) for s in pair] for pair in ((4, 8), (13, 16))]
    # The first picture that differs from the one before is the one after the box starts.
    assert found == [[a + FRAME, b] for a, b in want], out
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
