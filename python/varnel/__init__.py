"""Pictures of recordings on a networked video recorder, as numpy arrays.

    import varnel
    with varnel.open("127.0.0.1", 8554, key=1, begin="2024/01/01 00:00:00",
                     end="2024/01/01 00:00:10") as stream:
        for frame in stream:
            print(frame.time, frame.image.shape)

`open` plays one camera through libvarnel's playback object, `open_channels` several cameras
in step through its media element. Each is a context manager and an iterator of `Frame`s; the
library's callback copies every picture into a bounded queue that the iterator reads. What
happens when the consumer is slower than the playback is the `policy`:

- ``"pace"`` (the default): when the queue is full the playback is paused (the recorder stops
  sending) and it resumes once the consumer has taken half of it. No picture is lost; the
  playback runs as fast as the consumer, at most at its speed. For analysis.
- ``"drop-oldest"``: the playback never waits; when the queue is full the oldest picture is
  dropped for the new one, so the consumer always sees the latest pictures. For live viewing.

Arguments are checked before anything reaches the library (`TypeError` and `ValueError`). The
library is found by the path given as `library`, else ``$VARNEL_LIBRARY``, else the build
folder of the source tree this package is in, else the installed ``libvarnel.so.0``.
"""
from __future__ import annotations

import atexit
import ctypes
import datetime as _dt
import ipaddress
import shutil
import tempfile
import threading
import time as _time
from collections import deque
from dataclasses import dataclass
from typing import Iterator, Optional, Sequence, Union

import numpy as np

from . import _lib

__all__ = ["Frame", "Playback", "Channels", "open", "open_channels", "library_version"]
__version__ = "0.3.0"

TimeArg = Union[_dt.datetime, str]
POLICIES = ("pace", "drop-oldest")
DIRECTIONS = {"forward": 1, "reverse": 0}
MAX_SPEED = 5  # 2**5: the media element's limit, kept for both engines alike
_EPOCH = _dt.datetime(1, 1, 1)


@dataclass(frozen=True)
class Frame:
    """One picture: `image` is (height, width, 3) uint8 in BGR order (as OpenCV has it),
    `time` the recorder time of its frame, `channel` the camera (the key for `open`),
    `source` 0 for the main stream and 1 for the FOS stream beside it."""

    image: np.ndarray
    time: _dt.datetime
    channel: int
    source: int


def library_version(library: Optional[str] = None) -> str:
    """Version text of the libvarnel that is loaded, for example "0.2.0"."""
    return _lib.load(library).varnel_version().decode()


# ---- argument checks: everything is checked before the library is loaded or called ----------

def _int(name: str, value: object, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    if not low <= value <= high:
        raise ValueError("%s must be from %d to %d, not %d" % (name, low, high, value))
    return value


def _choice(name: str, value: object, choices: Sequence[str]) -> str:
    if not isinstance(value, str):
        raise TypeError("%s must be a str, not %s" % (name, type(value).__name__))
    if value not in choices:
        raise ValueError("%s must be one of %s, not %r" % (name, ", ".join(choices), value))
    return value


def _time_arg(name: str, value: object) -> _dt.datetime:
    if isinstance(value, _dt.datetime):
        return value
    if not isinstance(value, str):
        raise TypeError("%s must be a datetime or a str, not %s" % (name, type(value).__name__))
    try:
        return _dt.datetime.strptime(value, "%Y/%m/%d %H:%M:%S")
    except ValueError:
        raise ValueError("%s must read YYYY/MM/DD hh:mm:ss, not %r" % (name, value)) from None


def _range(begin: object, end: object) -> tuple[_dt.datetime, _dt.datetime]:
    b, e = _time_arg("begin", begin), _time_arg("end", end)
    if e <= b:
        raise ValueError("end (%s) must come after begin (%s)" % (e, b))
    return b, e


def _host(value: object, dotted: bool) -> bytes:
    if not isinstance(value, str):
        raise TypeError("host must be a str, not %s" % type(value).__name__)
    if dotted:
        try:
            ipaddress.IPv4Address(value)
        except ValueError:
            raise ValueError("host must be a dotted IPv4 address, not %r" % value) from None
    raw = value.encode("ascii", "replace")
    if not raw or len(raw) > 200 or not value.isascii() or any(c in value for c in "/?# "):
        raise ValueError("host must be an address of 1 to 200 ASCII characters, not %r" % value)
    return raw


def _calendar(t: _dt.datetime) -> _lib.StreamSettingTime:
    return _lib.StreamSettingTime(t.year, t.month, t.day, t.hour, t.minute, t.second, 0)


def _frame_time(ticks: int) -> _dt.datetime:
    """Frame times count 100 ns units from 0001-01-01 00:00:00."""
    return _EPOCH + _dt.timedelta(microseconds=ticks // 10)


def _image(pixels: ctypes.POINTER(ctypes.c_ubyte), width: int, height: int) -> np.ndarray:
    """A copy of the library's picture, which is valid only during the callback."""
    flat = np.ctypeslib.as_array(pixels, shape=(width * height * 3,))
    return flat.reshape(height, width, 3).copy()


# ---- the stream both engines share -------------------------------------------------------

_open_streams: set["_Stream"] = set()
_open_lock = threading.Lock()


@atexit.register
def _close_all() -> None:
    # The library's threads call into Python: they must have ended before the interpreter does.
    with _open_lock:
        streams = list(_open_streams)
    for s in streams:
        s.close()


class _Stream:
    """The queue between the library's callback thread and the consumer, and the pause rules.

    Two locks, never held together by the callback: `_cond` guards the queue and is held only
    for moments; `_control` serialises every control call into the library. The callback only
    tries `_control` (a close may be holding it, and the close waits for the callback), so a
    callback never waits for the host and a close never waits for a blocked consumer.

    Whether the queue wants the playback paused (`_paced`) changes only under `_cond`, together
    with the queue's length, and whoever holds `_control` tells the library what is wanted at
    that moment (`_apply`). The consumer that lifts the pause applies it itself, under
    `_control`, so after any callback's `_apply` under way: a pause the callback decided on
    before the consumer emptied the queue is lifted again, where the consumer would otherwise
    wait for pictures that a paused playback never sends. A callback that cannot take
    `_control` leaves the pause to the next picture: the queue may overrun its bound by a few
    pictures, never lose one."""

    def __init__(self, lib: ctypes.CDLL, policy: str, queue_size: int, save_folder: Optional[str]):
        self._lib = lib
        self._policy = policy
        self._size = queue_size
        self._cond = threading.Condition()
        self._frames: deque[Frame] = deque()
        self._closed = False
        self._ended = False
        self._failure: Optional[BaseException] = None
        self._control = threading.Lock()
        self._paced = False  # paused because the queue is full
        self._held = False  # paused by the host
        self._lib_paused = False  # what the library was last told
        self._handle: Optional[int] = None
        self.dropped = 0
        """Pictures dropped by the "drop-oldest" policy so far."""
        self._folder = tempfile.mkdtemp(prefix="varnel-", dir=save_folder)

    # Called by the engines' callbacks, on the library's threads.
    def _deliver(self, frame: Frame) -> None:
        with self._cond:
            if self._closed:
                return
            if self._policy == "drop-oldest" and len(self._frames) >= self._size:
                self._frames.popleft()
                self.dropped += 1
            self._frames.append(frame)
            if self._policy == "pace" and len(self._frames) >= self._size:
                self._paced = True
            pause = self._paced and not self._lib_paused
            self._cond.notify()
        if pause:
            self._try_apply()

    def _finish(self, failure: Optional[BaseException] = None) -> None:
        with self._cond:
            self._ended = True
            self._failure = failure
            self._cond.notify_all()

    # With _control held: tell the library the pause state the host and the queue want now.
    def _apply(self) -> None:
        want = self._held or self._paced
        if (want != self._lib_paused and self._handle is not None and not self._closed and
                self._ready()):
            self._lib_paused = want
            (self._pause if want else self._resume)()

    def _ready(self) -> bool:
        """Whether the library takes a pause or a resume now."""
        return True

    def _try_apply(self) -> None:
        # On the library's threads: never wait for _control (see the class's documentation).
        if self._control.acquire(blocking=False):
            try:
                self._apply()
            finally:
                self._control.release()

    def _control_call(self, fn, *args) -> bool:
        with self._control:
            if self._closed or self._handle is None:
                return False
            return bool(fn(self._handle, *args))

    def pause(self) -> None:
        """Holds playback (the recorder stops sending) until `play`."""
        with self._control:
            self._held = True
            self._apply()

    def play(self) -> None:
        """Resumes after `pause` (the "pace" policy may still hold it until the queue drains)."""
        with self._control:
            self._held = False
            self._apply()

    def _wait_idle(self) -> bool:
        """With _cond held, no picture queued and nothing ended: True to end the iteration. Waits
        a moment at most, so that the caller can apply a pause state left unapplied."""
        self._cond.wait(0.05)
        return False

    def __iter__(self) -> Iterator[Frame]:
        return self

    def __next__(self) -> Frame:
        return self._next(None)

    def get(self, timeout: float) -> Optional[Frame]:
        """The next picture, or None when none comes within timeout seconds (or at the end)."""
        try:
            return self._next(_time.monotonic() + timeout)
        except StopIteration:
            return None

    def _next(self, deadline: Optional[float]) -> Optional[Frame]:
        while True:
            with self._cond:
                if not (self._frames or self._ended or self._closed) and self._wait_idle():
                    self._ended = True
                if self._frames:
                    frame = self._frames.popleft()
                    lift = self._paced and len(self._frames) <= self._size // 2
                    if lift:
                        self._paced = False
                    break
                if self._ended or self._closed:
                    if self._failure is not None and not self._closed:
                        raise self._failure
                    raise StopIteration
                # Nothing comes while the library is held in a pause nobody wants any more,
                # one whose lifting had to wait (Playback._ready).
                unapplied = self._lib_paused != (self._held or self._paced)
                if deadline is not None and _time.monotonic() >= deadline:
                    return None
            if unapplied:
                with self._control:
                    self._apply()
        if lift:
            # Taking _control after the callback's _apply, if one is under way, this applies
            # the lifted pause whatever that callback had read.
            with self._control:
                self._apply()
        return frame

    def close(self) -> None:
        """Stops playback and waits until the library's threads have ended; a consumer waiting
        in the iterator (on any thread) gets StopIteration. Working files are removed."""
        with self._cond:
            if self._closed:
                return
            self._closed = True
            self._cond.notify_all()
        with self._control:
            if self._handle is not None:
                self._destroy()
                self._handle = None
        with _open_lock:
            _open_streams.discard(self)
        shutil.rmtree(self._folder, ignore_errors=True)

    def _opened(self, handle: Optional[int], create: str) -> None:
        if not handle:
            shutil.rmtree(self._folder, ignore_errors=True)
            raise MemoryError("%s failed" % create)
        self._handle = handle
        with _open_lock:
            _open_streams.add(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class Playback(_Stream):
    """One camera through the playback object (CVarnel1_*); made by `open`."""

    def __init__(self, lib, host, port, key, begin, end, speed, reverse, fos, policy,
                 queue_size, on_file, save_folder):
        super().__init__(lib, policy, queue_size, save_folder)
        self._host, self._port, self._key = host, port, key
        self._speed, self._orientation = speed, 1
        self._pictures = 0
        self._toggle_pending = False
        # Kept for as long as the library may call them: until close has destroyed the object.
        self._frame_cb = _lib.FRAME_CALLBACK(self._on_frame)
        self._end_cb = _lib.END_CALLBACK(self._on_end)
        records = [self._record(host, port, key, begin, end, speed, on_file, 0)]
        if fos is not None:
            records.append(self._record(host, port, key, begin, end, speed, on_file, fos))
        self._opened(lib.CVarnel1_Create(0, 1), "CVarnel1_Create")
        self.set_reverse_mode(reverse)
        with self._control:
            if fos is None:
                lib.CVarnel1_Open1(self._handle, ctypes.byref(records[0]))
            else:
                lib.CVarnel1_OpenFOS(self._handle, ctypes.byref(records[0]),
                                     ctypes.byref(records[1]))

    def _record(self, host, port, key, begin, end, speed, on_file, fos) -> _lib.StreamSetting:
        r = _lib.StreamSetting()
        r.FosID, r.IP, r.Port, r.Key = fos, host, port, key
        r.BeginTime, r.EndTime = _calendar(begin), _calendar(end)
        r.SaveFolder = self._folder.encode()
        if on_file:
            r.OnFile, r.WriteFileName = 1, b"varnel-on-file-%d.dat" % fos
        r.Speed, r.Orientation, r.NoAudio = speed, 1, 1
        r.FrameCallback, r.EndCallback = self._frame_cb, self._end_cb
        return r

    def _on_frame(self, zero, state, position, info) -> None:
        if not info:
            # A state report: the play thread has taken a pause toggle (or has closed).
            if state != _lib.STATE_CLOSED:
                self._toggle_pending = False
                self._try_apply()
            return
        f = info.contents
        if not f.Pixels:
            return
        self._pictures += 1
        self._deliver(Frame(_image(f.Pixels, f.Width, f.Height), _frame_time(f.FrameTime),
                            self._key, f.Source))

    def _on_end(self, zero, feed_state, zero2) -> None:
        failure = None
        if feed_state == _lib.FEED_ENDED and self._pictures == 0:
            # No end mark and no picture: nothing answered at the address (or nothing that
            # speaks the recorder's protocol); the library gave up after its time-outs.
            failure = ConnectionError("cannot reach the recorder at %s:%d" %
                                      (self._host.decode(), self._port))
        self._finish(failure)

    # Pause and Play each post a toggle that the play thread takes when it gets to it, and two
    # posted before it does count as one: a Play right after a Pause would leave it paused.
    # So a toggle waits for the report of the one before (the NULL frame callback).
    def _ready(self) -> bool:
        return not self._toggle_pending

    def _pause(self) -> None:
        self._toggle_pending = True
        self._lib.CVarnel1_Pause(self._handle)

    def _resume(self) -> None:
        # Play toggles: called only when the object is known to be paused.
        self._toggle_pending = True
        self._lib.CVarnel1_Play(self._handle)

    def _destroy(self) -> None:
        self._lib.CVarnel1_Close(self._handle, True)
        self._lib.CVarnel1_Destory(self._handle)

    def set_speed(self, speed: int) -> None:
        """Plays at 2 ** speed times real time (-5 to 5), told to the recorder at once."""
        speed = _int("speed", speed, -MAX_SPEED, MAX_SPEED)
        self._speed = speed
        self._control_call(self._lib.CVarnel1_SetSpeed_Orientation, speed, self._orientation,
                           True, True)

    def set_direction(self, direction: str) -> None:
        """"forward" or "reverse", told to the recorder at once."""
        self._orientation = DIRECTIONS[_choice("direction", direction, tuple(DIRECTIONS))]
        self._control_call(self._lib.CVarnel1_SetSpeed_Orientation, self._speed,
                           self._orientation, True, True)

    def set_reverse_mode(self, mode: str) -> None:
        """"smooth" (every picture in falling time) or "groups" (each group forward)."""
        mode = _choice("mode", mode, tuple(_lib.REVERSE_MODES))
        self._control_call(self._lib.CVarnel1_SetReverseMode, _lib.REVERSE_MODES[mode])

    def set_pos(self, percent: int) -> None:
        """Moves to a percentage of what has been recorded so far (opened with on_file=True)."""
        self._control_call(self._lib.CVarnel1_SetPos, _int("percent", percent, 0, 100))


class Channels(_Stream):
    """Several cameras in step through the media element (CQMediaElement_*); made by
    `open_channels`. The element reports no end of its range: the iterator ends once no
    picture has come for `idle` seconds of playing."""

    def __init__(self, lib, host, port, channels, begin, end, speed, reverse, policy,
                 queue_size, file_mode, idle, connect_timeout, save_folder):
        super().__init__(lib, policy, queue_size, save_folder)
        self._address = "%s:%d" % (host.decode(), port)
        self._speed, self._forward = speed, True
        self._idle, self._connect_timeout = idle, connect_timeout
        self._start = self._last = _time.monotonic()
        self._seen = False
        self._callback = _lib.ELEMENT_CALLBACK(self._on_picture)
        self._channel_list = (ctypes.c_int32 * len(channels))(*channels)
        s = _lib.MediaElementStreamSetting()
        s.host, s.port = host, port
        s.channelCount, s.channels = len(channels), self._channel_list
        s.beginTime, s.endTime = _calendar(begin), _calendar(end)
        s.saveFolder = self._folder.encode()
        if file_mode:
            s.fileMode, s.fileName = 1, b"varnel-channels.dat"
        s.orientation, s.noAudio, s.callback = 1, 1, self._callback
        self._opened(lib.CQMediaElement_Create(), "CQMediaElement_Create")
        self.set_reverse_mode(reverse)
        with self._control:
            lib.CQMediaElement_Open(self._handle, ctypes.byref(s))
            if speed != 0:
                lib.CQMediaElement_Forward(self._handle, speed)

    def _on_picture(self, zero, state, zero2, picture, channel) -> None:
        # Only presented pictures: one that is not due yet comes again when it is.
        if not picture or not channel or channel.contents.status != _lib.CHANNEL_PRESENTED:
            return
        p = picture.contents
        self._deliver(Frame(_image(p.pixels, p.width, p.height), _frame_time(p.frameTime),
                            p.channel, 0))

    def _deliver(self, frame: Frame) -> None:
        with self._cond:
            self._seen = True
            self._last = _time.monotonic()
        super()._deliver(frame)

    def _wait_idle(self) -> bool:
        now = _time.monotonic()
        if self._lib_paused:
            self._last = now  # a paused element is not idle
        elif not self._seen and now - self._start > self._connect_timeout:
            self._failure = ConnectionError(
                "no picture from the recorder at %s within %g s" %
                (self._address, self._connect_timeout))
            return True
        elif self._seen and now - self._last > self._idle:
            return True
        self._cond.wait(0.05)
        return False

    def _pause(self) -> None:
        self._lib.CQMediaElement_Pause(self._handle)

    def _resume(self) -> None:
        self._last = _time.monotonic()  # the time without pictures counts from here
        self._lib.CQMediaElement_Play(self._handle)

    def _destroy(self) -> None:
        self._lib.CQMediaElement_Close(self._handle)
        self._lib.CQMediaElement_Destroy(self._handle)

    def _move(self) -> None:
        fn = self._lib.CQMediaElement_Forward if self._forward else self._lib.CQMediaElement_Rewind
        self._control_call(fn, self._speed)

    def set_speed(self, speed: int) -> None:
        """Plays at 2 ** speed times real time (-5 to 5; 2 and above key frames only)."""
        self._speed = _int("speed", speed, -MAX_SPEED, MAX_SPEED)
        self._move()

    def set_direction(self, direction: str) -> None:
        """"forward" or "reverse" (in "smooth" reverse mode at speed 0 or below: every
        picture backward, otherwise key frames)."""
        self._forward = _choice("direction", direction, tuple(DIRECTIONS)) == "forward"
        self._move()

    def set_reverse_mode(self, mode: str) -> None:
        """"smooth" or "groups", as for `open`."""
        mode = _choice("mode", mode, tuple(_lib.REVERSE_MODES))
        self._control_call(self._lib.CQMediaElement_SetReverseMode, _lib.REVERSE_MODES[mode])

    def _step(self, fn) -> None:
        with self._control:
            if self._closed or self._handle is None:
                return
            # A step pauses the element: it stays held until play.
            self._held = self._lib_paused = True
            fn(self._handle)

    def step_forward(self) -> None:
        """Holds playback and shows the next picture of every channel."""
        self._step(self._lib.CQMediaElement_FrameStep_Forward)

    def step_back(self) -> None:
        """Holds playback and shows the picture before the one shown, every channel (a key
        frame back in "groups" reverse mode)."""
        self._step(self._lib.CQMediaElement_FrameStep_Rewind)

    def set_pos(self, percent: int) -> None:
        """Goes on from a percentage of the groups recorded so far (file_mode=True only)."""
        self._control_call(self._lib.CQMediaElement_SetPos, _int("percent", percent, 0, 100))

    def seek(self, when: TimeArg) -> None:
        """Goes on from the group that starts exactly at that recorder time (file_mode=True
        only); nothing happens when no group starts there."""
        t = _time_arg("when", when)
        self._control_call(self._lib.CQMediaElement_Seek, t.year, t.month, t.day, t.hour,
                           t.minute, t.second, t.microsecond // 1000)


def _common(policy: object, queue_size: object, speed: object, reverse: object) -> None:
    _choice("policy", policy, POLICIES)
    _int("queue_size", queue_size, 1, 1 << 16)
    _int("speed", speed, -MAX_SPEED, MAX_SPEED)
    _choice("reverse", reverse, tuple(_lib.REVERSE_MODES))


def open(host: str, port: int, key: int, begin: TimeArg, end: TimeArg, speed: int = 0,
         reverse: str = "smooth", fos: Optional[int] = None, *, policy: str = "pace",
         queue_size: int = 8, on_file: bool = False, library: Optional[str] = None,
         save_folder: Optional[str] = None) -> Playback:
    """Plays camera `key` of the recorder at host:port from begin to end (datetimes, or text
    "YYYY/MM/DD hh:mm:ss"), at 2 ** speed times real time, pictures only.

    reverse: how a change to "reverse" plays ("smooth" or "groups"). fos: the FOS id of a
    second recording played beside the main one, in step (its frames have source 1).
    policy and queue_size: see the module's documentation. on_file: the feed goes into one
    indexed working file, which `set_pos` moves in. library: path of libvarnel. save_folder:
    where the working folder is made (the system's temporary folder by default).

    The iterator ends after the last picture; it raises ConnectionError when the recorder
    could not be reached (the library gives up after 10 s without an answer)."""
    h = _host(host, dotted=False)
    _int("port", port, 1, 65535)
    _int("key", key, 0, 2**31 - 1)
    b, e = _range(begin, end)
    _common(policy, queue_size, speed, reverse)
    if fos is not None:
        _int("fos", fos, 1, 2**31 - 1)
    if not isinstance(on_file, bool):
        raise TypeError("on_file must be a bool, not %s" % type(on_file).__name__)
    return Playback(_lib.load(library), h, port, key, b, e, speed, reverse, fos, policy,
                    queue_size, on_file, save_folder)


def open_channels(host: str, port: int, channels: Sequence[int], begin: TimeArg, end: TimeArg,
                  speed: int = 0, reverse: str = "smooth", *, policy: str = "pace",
                  queue_size: int = 16, file_mode: bool = False, idle: float = 2.0,
                  connect_timeout: float = 15.0, library: Optional[str] = None,
                  save_folder: Optional[str] = None) -> Channels:
    """Plays the cameras `channels` of the recorder at host (dotted IPv4) and port together,
    on one time line, from begin to end; frames of all channels come through one iterator in
    the order they are shown.

    file_mode: the feed goes into one indexed working file, which `set_pos` and `seek` move
    in. idle: the iterator ends once no picture has come for that many seconds of playing.
    connect_timeout: ConnectionError when no picture at all has come by then. The other
    arguments are those of `open`."""
    h = _host(host, dotted=True)
    _int("port", port, 1, 65535)
    if isinstance(channels, (str, bytes)) or not isinstance(channels, Sequence):
        raise TypeError("channels must be a sequence of ints, not %s" % type(channels).__name__)
    if not channels:
        raise ValueError("channels must name at least one channel")
    for c in channels:
        _int("a channel", c, 0, 2**31 - 1)
    if len(set(channels)) != len(channels):
        raise ValueError("channels must not repeat a channel: %s" % list(channels))
    b, e = _range(begin, end)
    _common(policy, queue_size, speed, reverse)
    for name, value in (("idle", idle), ("connect_timeout", connect_timeout)):
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError("%s must be a number of seconds" % name)
        if not value > 0:
            raise ValueError("%s must be above 0, not %r" % (name, value))
    if not isinstance(file_mode, bool):
        raise TypeError("file_mode must be a bool, not %s" % type(file_mode).__name__)
    return Channels(_lib.load(library), h, port, list(channels), b, e, speed, reverse, policy,
                    queue_size, file_mode, idle, connect_timeout, save_folder)
