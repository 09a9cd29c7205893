"""What every Python test driver here shares: named cases run from the command line, child
processes that are always reaped, and varnel-recorder on a free loopback port."""
import argparse
import os
import re
import shutil
import signal
import subprocess
import threading


def remove(path):
    shutil.rmtree(path, ignore_errors=True)


def expect(cond, what):
    if not cond:
        raise AssertionError(what)


def run_tree(argv, timeout, **kwargs):
    """subprocess.run with output captured, for a child that starts programs of its own (a
    script): on a timeout its whole process group is killed, not only the child, so that no
    grandchild is left running after the test."""
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
    """Test cases by name; a driver registers them with @cases and ends with cases.main()."""

    def __init__(self):
        self.all = {}

    def __call__(self, fn):
        self.all[fn.__name__] = fn
        return fn

    def main(self, make_ctx, options):
        """options: (flag, required) pairs. A failed case keeps its work folder and names it,
        so that what the programs left behind can be read."""
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
        remove(ctx.work)
        print("passed", args.case)
        return 0


class Child:
    """A child process that is terminated, and killed if it must be, when the test leaves it."""

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
    """varnel-recorder on a free loopback port, logging to a file of its own; it names its
    port on its first line."""

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
