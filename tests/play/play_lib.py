"""Helpers for the tests of varnel-play: the substitute recorder and an X server as child
processes, runs of the program, and pictures read back through the ffmpeg program."""
import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testkit import Cases, Child, Recorder, expect, remove, run_tree  # noqa: E402,F401


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def temp_dir(tag):
    return tempfile.mkdtemp(prefix="varnel-play-%s-" % tag)


class Xvfb(Child):
    """A virtual X server on a display number of its own choosing."""

    def __init__(self, width, height):
        read, write = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "%dx%dx24" % (width, height),
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            number = f.readline().strip()
        if not number:
            self.close()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number
        self.width, self.height = width, height

    def env(self, extra=None):
        env = dict(os.environ, DISPLAY=self.display)
        env.pop("WAYLAND_DISPLAY", None)
        env.update(extra or {})
        return env

    def screenshot(self, path):
        """The whole screen as raw RGB (width * height * 3 bytes), through xwd."""
        with open(path, "wb") as f:
            subprocess.run(["xwd", "-root", "-silent", "-display", self.display], stdout=f,
                           check=True)
        return Image.decode(path, self.width, self.height)

class Image:
    """Raw RGB pixels of a picture file, decoded by the ffmpeg program."""

    def __init__(self, width, height, rgb):
        self.width, self.height, self.rgb = width, height, rgb

    @staticmethod
    def decode(path, width=None, height=None):
        if width is None:
            width, height = png_size(path)
        rgb = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-frames:v", "1", "-f",
                              "rawvideo", "-pix_fmt", "rgb24", "-"],
                             capture_output=True, check=True).stdout
        if len(rgb) != width * height * 3:
            raise AssertionError("%s: %d bytes for %dx%d" % (path, len(rgb), width, height))
        return Image(width, height, rgb)

    def crop(self, x, y, w, h):
        rows = [self.rgb[((y + r) * self.width + x) * 3:((y + r) * self.width + x + w) * 3]
                for r in range(h)]
        return Image(w, h, b"".join(rows))

    def mean_difference(self, other):
        assert len(self.rgb) == len(other.rgb)
        return sum(abs(a - b) for a, b in zip(self.rgb, other.rgb)) / len(self.rgb)

    def spread(self):
        """Standard deviation of all channel values: 0 for a blank picture."""
        n = len(self.rgb)
        mean = sum(self.rgb) / n
        return (sum((v - mean) ** 2 for v in self.rgb) / n) ** 0.5


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        raise AssertionError("%s is no PNG" % path)
    return struct.unpack(">II", head[16:24])


def play(exe, args, env=None, timeout=120):
    """One run of varnel-play: (exit code, standard output, standard error)."""
    full_env = dict(os.environ)
    full_env.setdefault("SDL_AUDIODRIVER", "dummy")
    full_env.update(env or {})
    p = subprocess.run([exe, *args], capture_output=True, text=True, env=full_env,
                       timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def summary(path):
    with open(path) as f:
        return json.load(f)


def wait_for(predicate, timeout, what):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)
