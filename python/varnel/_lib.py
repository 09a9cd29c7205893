"""The C interface of libvarnel as ctypes sees it: the records of varnel/varnel.h, the callback
types, the exported functions with their argument types, and the search for the library."""
from __future__ import annotations

import ctypes
import os
import threading
from pathlib import Path
from typing import Optional

SONAME = "libvarnel.so.0"

FEED_ENDED = 3
STATE_CLOSED = 4
CHANNEL_PRESENTED = 1
REVERSE_MODES = {"groups": 0, "smooth": 1}


class FrameInfo(ctypes.Structure):
    # ctypes lays the record out by the platform's alignment rules, as the C compiler does,
    # so the 32-bit reserved word needs no mention here: 64-bit only.
    _fields_ = [("Width", ctypes.c_int32), ("Height", ctypes.c_int32),
                ("Pixels", ctypes.POINTER(ctypes.c_ubyte)), ("FrameTime", ctypes.c_int64),
                ("LastFrameTime", ctypes.c_int64), ("Source", ctypes.c_int32)]


class StreamSettingTime(ctypes.Structure):
    _fields_ = [(name, ctypes.c_int32)
                for name in ("Year", "Month", "Day", "Hour", "Minute", "Second", "Unused")]


FRAME_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_int32, ctypes.c_double,
                                  ctypes.POINTER(FrameInfo))
END_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_int32, ctypes.c_int32)


class StreamSetting(ctypes.Structure):
    _fields_ = [("FosID", ctypes.c_int32), ("IP", ctypes.c_char * 256), ("Port", ctypes.c_int32),
                ("Key", ctypes.c_int32), ("SubKey", ctypes.c_int32),
                ("Resolution", ctypes.c_int32), ("BeginTime", StreamSettingTime),
                ("EndTime", StreamSettingTime), ("OnFile", ctypes.c_int32),
                ("AutoRepeat", ctypes.c_int32), ("SaveFolder", ctypes.c_char * 1024),
                ("DirectURL", ctypes.c_char * 512), ("WriteFileName", ctypes.c_char * 256),
                ("Speed", ctypes.c_int32), ("Orientation", ctypes.c_int32),
                ("IsOnlyKeyFrame", ctypes.c_int32), ("NoAudio", ctypes.c_int32),
                ("FrameCallback", FRAME_CALLBACK), ("EndCallback", END_CALLBACK)]


class PictureFrame(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int32), ("height", ctypes.c_int32),
                ("pixels", ctypes.POINTER(ctypes.c_ubyte)), ("frameTime", ctypes.c_int64),
                ("lastFrameTime", ctypes.c_int64), ("reserved1", ctypes.c_int32),
                ("channel", ctypes.c_int32), ("duration", ctypes.c_int32),
                ("reserved2", ctypes.c_int32), ("pts", ctypes.c_double),
                ("reserved3", ctypes.c_int64)]


class ChannelState(ctypes.Structure):
    _fields_ = [("channel", ctypes.c_int32), ("status", ctypes.c_int32)]


ELEMENT_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_int32, ctypes.c_double,
                                    ctypes.POINTER(PictureFrame), ctypes.POINTER(ChannelState))


class MediaElementStreamSetting(ctypes.Structure):
    _fields_ = [("FosID", ctypes.c_int32), ("host", ctypes.c_char * 256),
                ("port", ctypes.c_int32), ("channelCount", ctypes.c_int32),
                ("channels", ctypes.POINTER(ctypes.c_int32)), ("SubKey", ctypes.c_int32),
                ("Resolution", ctypes.c_int32), ("beginTime", StreamSettingTime),
                ("endTime", StreamSettingTime), ("fileMode", ctypes.c_int32),
                ("loopFile", ctypes.c_int32), ("saveFolder", ctypes.c_char * 1536),
                ("fileName", ctypes.c_char * 260), ("orientation", ctypes.c_int32),
                ("onlyKeyFrame", ctypes.c_int32), ("noAudio", ctypes.c_int32),
                ("callback", ELEMENT_CALLBACK), ("unused", ctypes.c_int32)]


# The header's static assertions, for the 64-bit layout this binding is made for: a mistake in
# the lists above would otherwise show only as pictures read from the wrong place.
assert ctypes.sizeof(ctypes.c_void_p) == 8, "varnel's Python binding needs a 64-bit Python"
assert ctypes.sizeof(FrameInfo) == 40 and FrameInfo.Source.offset == 32
assert ctypes.sizeof(StreamSetting) == 2168 and StreamSetting.FrameCallback.offset == 2152
assert ctypes.sizeof(PictureFrame) == 64 and PictureFrame.pts.offset == 48
assert ctypes.sizeof(MediaElementStreamSetting) == 2176
assert MediaElementStreamSetting.callback.offset == 2160

_P = ctypes.c_void_p
_B = ctypes.c_bool
_I = ctypes.c_int32
_SIGNATURES = {
    "varnel_version": (ctypes.c_char_p, []),
    "CVarnel1_Create": (_P, [ctypes.c_uint32, _I]),
    "CVarnel1_Open1": (_B, [_P, ctypes.POINTER(StreamSetting)]),
    "CVarnel1_OpenFOS": (_B, [_P, ctypes.POINTER(StreamSetting), ctypes.POINTER(StreamSetting)]),
    "CVarnel1_Play": (_B, [_P]),
    "CVarnel1_Pause": (_B, [_P]),
    "CVarnel1_SetPos": (_B, [_P, _I]),
    "CVarnel1_SetSpeed_Orientation": (_B, [_P, _I, _I, _B, _B]),
    "CVarnel1_SetReverseMode": (_B, [_P, _I]),
    "CVarnel1_Close": (None, [_P, _B]),
    "CVarnel1_Destory": (None, [_P]),
    "CQMediaElement_Create": (_P, []),
    "CQMediaElement_Open": (_B, [_P, ctypes.POINTER(MediaElementStreamSetting)]),
    "CQMediaElement_Play": (_B, [_P]),
    "CQMediaElement_Pause": (_B, [_P]),
    "CQMediaElement_Forward": (_B, [_P, _I]),
    "CQMediaElement_Rewind": (_B, [_P, _I]),
    "CQMediaElement_FrameStep_Forward": (_B, [_P]),
    "CQMediaElement_FrameStep_Rewind": (_B, [_P]),
    "CQMediaElement_SetReverseMode": (_B, [_P, _I]),
    "CQMediaElement_SetPos": (_B, [_P, _I]),
    "CQMediaElement_Seek": (_B, [_P, _I, _I, _I, _I, _I, _I, _I]),
    "CQMediaElement_Close": (_B, [_P]),
    "CQMediaElement_Destroy": (None, [_P]),
}


def candidates(path: Optional[str]) -> list[str]:
    """Where the library is looked for, in order: the path given, $VARNEL_LIBRARY, the build
    folder of the source tree this package sits in, then the installed SONAME through the
    dynamic loader's own search."""
    if path is not None:
        return [path]
    if os.environ.get("VARNEL_LIBRARY"):
        return [os.environ["VARNEL_LIBRARY"]]
    found = []
    tree = Path(__file__).resolve().parents[2]
    if (tree / "include" / "varnel" / "varnel.h").is_file():
        found += [str(tree / "build" / SONAME)]
    return [p for p in found if os.path.exists(p)] + [SONAME]


_loaded: dict[str, ctypes.CDLL] = {}
_load_lock = threading.Lock()


def load(path: Optional[str] = None) -> ctypes.CDLL:
    """The library, loaded once per path, with every function's types set. OSError names
    every place tried when none of them holds it."""
    tried = candidates(path)
    with _load_lock:
        for where in tried:
            if where in _loaded:
                return _loaded[where]
        # The binding hands out pictures only: no sound device needs to be opened for them, and
        # a machine without one would print the sound system's complaints (a host that wants
        # another driver sets the variable itself).
        os.environ.setdefault("SDL_AUDIODRIVER", "dummy")
        errors = []
        for where in tried:
            try:
                lib = ctypes.CDLL(where)
            except OSError as err:
                errors.append(str(err))
                continue
            for name, (restype, argtypes) in _SIGNATURES.items():
                fn = getattr(lib, name)
                fn.restype, fn.argtypes = restype, argtypes
            _loaded[where] = lib
            return lib
    raise OSError("libvarnel not found (tried %s): %s" % (", ".join(tried), "; ".join(errors)))
