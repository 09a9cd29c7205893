# What the Python test drivers share: named cases run from the command line, child processes
# that are always reaped, varnel-recorder on a free loopback port and a plain client of its
# records, the C test host (tests/host.c), an X server for varnel-play, and the ffmpeg program
# as the reference decoder.
import argparse
import atexit
import datetime
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time


def expect(cond, what):
    if not cond:
        raise AssertionError(what)


def run_tree(argv, timeout, **kwargs):
    # subprocess.run with output captured, for a child that starts programs of its own (a
    # script): on a timeout its whole process group is killed, not only the child, so that no
    # grandchild is left running after the test.
    with subprocess.Popen(argv, start_new_session=True, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, **kwargs) as proc:
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.communicate()
            raise
    return subprocess.CompletedProcess(argv, proc.returncode, out, err)


class Cases:
    # Test cases by name; a driver registers them with @cases and ends with cases.main().

    def __init__(self):
        self.all = {}

    def __call__(self, fn):
        self.all[fn.__name__] = fn
        return fn

    def main(self, make_ctx, options):
        # options: (flag, required) pairs. A failed case keeps its work folder and names it,
        # so that what the programs left behind can be read.
        ap = argparse.ArgumentParser()
        ap.add_argument("case", choices=sorted(self.all))
        for flag, required in options:
            ap.add_argument(flag, required=required)
        args = ap.parse_args()
        ctx = make_ctx(args)
        try:
            self.all[args.case](ctx)
        except AssertionError as err:
            print("FAILED %s: %s (work folder %s)" % (args.case, err, ctx.work))
            return 1
        shutil.rmtree(ctx.work, ignore_errors=True)
        print("passed", args.case)
        return 0


class Child:
    # A child process that is terminated, and killed if it must be, when the test leaves it.

    proc = None

    def close(self):
        if self.proc is None or self.proc.poll() is not None:
            return
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Recorder(Child):
    # varnel-recorder on a free loopback port, logging to a file of its own; it names its
    # port on its first line.

    def __init__(self, exe, catalogue, work, *extra):
        self.log_path = os.path.join(work, "recorder-%d.log" % id(self))
        self.proc = subprocess.Popen(
            [exe, "--port", "0", "--catalogue", catalogue, "--log", self.log_path, *extra],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = self.proc.stdout.readline()
        m = re.search(r"(\d+)\s*$", line.strip())
        if not m:
            self.close()
            raise RuntimeError("recorder did not say its port: %r" % line)
        self.port = int(m.group(1))
        threading.Thread(target=lambda: [None for _ in self.proc.stdout], daemon=True).start()

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read().splitlines()


# kind codec frameTime duration audioTime length keyFrame orientation channel pad
HEADER = struct.Struct("<i8s4xqiiii20xiii")


class Record:
    def __init__(self, header, payload):
        (self.kind, codec, self.frame_time, self.duration, self.audio_time, self.length,
         self.key, self.orientation, self.channel, _) = HEADER.unpack(header)
        self.codec = codec.split(b"\0")[0].decode()
        self.header, self.payload = header, payload


def parse_records(body):
    out, pos = [], 0
    while pos + 72 <= len(body):
        length = struct.unpack_from("<i", body, pos + 32)[0]
        if length < 0 or pos + 72 + length > len(body):
            break
        out.append(Record(body[pos:pos + 72], body[pos + 72:pos + 72 + length]))
        pos += 72 + length
    return out


def fetch(port, target, timeout=60):
    # The whole answer to one GET, as records (the recorder sends as fast as it may).
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(b"GET " + target.replace(" ", "%20").encode() + b" HTTP/1.1\r\n\r\n")
        data = b""
        while chunk := s.recv(1 << 20):
            data += chunk
            recs = parse_records(data.partition(b"\r\n\r\n")[2])
            if recs and recs[-1].kind in (129, 255):
                return recs
    return parse_records(data.partition(b"\r\n\r\n")[2])


def query(key=1, subkey=0, fosid=0, begin=(2020, 1, 1, 0, 0, 0), end=(2020, 1, 1, 0, 0, 10),
          resolution=0, orientation="Forward", keyonly="False", noaudio="False", fos=False):
    b = "%04d/%02d/%02d %02d:%02d:%02d.000" % begin
    e = "%04d/%02d/%02d %02d:%02d:%02d.000" % end
    return ("/%s.cgi?Key=%d,SubKey=%d,FosID=%d,BeginTime=%s,EndTime=%s,Resolution=%d,"
            "Orientation=%s,IsOnlyKeyFrame=%s,NoAudio=%s" %
            ("PlayBack1_FOS" if fos else "PlayBack1", key, subkey, fosid, b, e, resolution,
             orientation, keyonly, noaudio))


class HostRun:
    # One run of the C test host on one interface (playback or element); its log parsed.

    def __init__(self, host, work, commands, env=None, timeout=120, on_checkpoint=None,
                 api="playback"):
        self.log_path = os.path.join(work, "host-%d-%d.log" % (os.getpid(), id(self)))
        proc = subprocess.Popen([host, api, self.log_path, *commands], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env={"SDL_AUDIODRIVER": "dummy", **os.environ, **(env or {})})
        self.pid = proc.pid
        self.checkpoints = {}
        deadline = time.time() + timeout
        for line in proc.stdout:
            if line.startswith("CHECKPOINT "):
                name = line.split()[1]
                self.checkpoints[name] = on_checkpoint(proc.pid, name) if on_checkpoint else None
                proc.stdin.write("go\n")
                proc.stdin.flush()
            if time.time() > deadline:
                break
        try:
            proc.wait(max(1, deadline - time.time()))
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            raise AssertionError("host hung: %s" % " ".join(commands))
        self.stderr = proc.stderr.read()
        self.returncode = proc.returncode
        with open(self.log_path) as f:
            self.lines = [l.split() for l in f.read().splitlines()]

    def of(self, kind):
        return [l for l in self.lines if l[0] == kind]

    def pictures(self):
        # (time_us, n, state, pos, w, h, frametime, lastframetime, source, hash)
        return [(int(l[1]), int(l[2]), int(l[3]), float(l[4]), int(l[5]), int(l[6]), int(l[7]),
                 int(l[8]), int(l[9]), l[10]) for l in self.of("PIC")]

    def check_ok(self):
        assert self.returncode == 0, "host failed (%d): %s" % (self.returncode, self.stderr[-2000:])


class Work:
    # A case's work folder with an empty save folder in it, the programs the command line
    # names, and recorders that are closed when the case ends.
    def __init__(self, args):
        self.exe, self.samples = args.recorder, args.samples
        self.host = getattr(args, "host", None)  # the recorder's own tests have none
        self.work = temp_dir()
        self.save = os.path.join(self.work, "save")
        os.makedirs(self.save)

    def recorder(self, *extra):
        rec = Recorder(self.exe, self.samples, self.work, *extra)
        atexit.register(rec.close)
        return rec

    @property
    def rec(self):
        # One plain recorder for the whole case, started on first use.
        if not hasattr(self, "_rec"):
            self._rec = self.recorder()
        return self._rec


def reference(host, work, units, size=None):
    # The ffmpeg program's picture hash of each access unit, by frame time: the units of each
    # codec decoded as one clip, in the order given, at the size given or the stream's own,
    # to BGR24 via fast bilinear.
    out = {}
    for codec in {u.codec for u in units}:
        mine = [u for u in units if u.codec == codec]
        clip = os.path.join(work, "ref-%d.%s" % (len(os.listdir(work)), codec))
        with open(clip, "wb") as f:
            f.write(b"".join(u.payload for u in mine))
        w, h = size or map(int, subprocess.run(
            ["ffprobe", "-v", "error", "-f", codec, "-show_entries", "stream=width,height",
             "-of", "csv=p=0", clip], capture_output=True, text=True, check=True).stdout.split(","))
        ff = subprocess.Popen(["ffmpeg", "-v", "error", "-f", codec, "-i", clip, "-sws_flags",
                               "fast_bilinear", "-pix_fmt", "bgr24", "-fps_mode", "passthrough",
                               "-f", "rawvideo", "-"], stdout=subprocess.PIPE)
        out.update(zip([u.frame_time for u in mine], subprocess.run(
            [host, "--hash", str(w), str(h)], stdin=ff.stdout, capture_output=True, text=True,
            check=True).stdout.split()))
        expect(ff.wait() == 0, "ffmpeg could not decode " + clip)
    return out


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


PF_EXITING = 0x4


def live_threads(pid):
    # Threads of the process that have not begun to exit. A thread that has been joined can
    # stay listed for a moment: the kernel wakes the joiner before it takes the thread off the
    # list, and a thread caught there carries the exiting flag (in the ninth field of its stat).
    live = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, task)) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue  # gone since the listing
        live += not int(fields[6]) & PF_EXITING
    return live


def proc_counts(pid, *_):  # also a checkpoint handler
    return (live_threads(pid), len(os.listdir("/proc/%d/fd" % pid)))


def peak_rss_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmHWM:")) / 1024.0


def temp_dir(tag="e2e"):
    return tempfile.mkdtemp(prefix="varnel-%s-" % tag)


def frame_time(year, month, day, hour=0, minute=0, second=0, ms=0):
    delta = datetime.datetime(year, month, day, hour, minute, second) - datetime.datetime(1, 1, 1)
    return (delta.days * 86400 + delta.seconds) * 10_000_000 + ms * 10_000


def video_records_of(records):
    return [r for r in records if r.kind == 1]


class Xvfb(Child):
    # A virtual X server on a display number of its own choosing.

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
        env = {k: v for k, v in os.environ.items() if k != "WAYLAND_DISPLAY"}
        return {**env, "DISPLAY": self.display, **(extra or {})}

    def screenshot(self, path):
        # The whole screen as raw RGB (width * height * 3 bytes), through xwd.
        with open(path, "wb") as f:
            subprocess.run(["xwd", "-root", "-silent", "-display", self.display], stdout=f,
                           check=True)
        return Image.decode(path, self.width, self.height)

class Image:
    # Raw RGB pixels of a picture file, decoded by the ffmpeg program.

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
        # Standard deviation of all channel values: 0 for a blank picture.
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
    # One run of varnel-play: (exit code, standard output, standard error).
    p = subprocess.run([exe, *args], capture_output=True, text=True, timeout=timeout,
                       env={"SDL_AUDIODRIVER": "dummy", **os.environ, **(env or {})})
    return p.returncode, p.stdout, p.stderr


def summary(path):
    with open(path) as f:
        return json.load(f)


def recorder_ended(rec, timeout=5):
    # A checkpoint handler: whether the recorder logs the end of a feed within timeout seconds.
    return lambda pid, name: wait_for(lambda: any(" end " in l for l in rec.log()), timeout)


def wait_for(predicate, timeout, what=None):
    # True once predicate holds; at the time-out false, or an error naming what was awaited.
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            expect(what is None, "timed out waiting for %s" % what)
            return False
        time.sleep(0.05)
    return True
