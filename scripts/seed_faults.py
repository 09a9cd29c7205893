#!/usr/bin/env python3
"""Seeds plausible one-line faults into the code one at a time and tells which the tests catch.

    scripts/seed_faults.py [--rev REV] [--work DIR] [--only N,N...]

Exports REV (default HEAD) into DIR (default /tmp/varnel-seed-<rev>), builds it once, then for
each fault below: applies it, rebuilds, runs the tests of its area (a ctest regex, a minute or
two, not the whole suite), records caught or survived, and puts the file back. The working tree
is never touched. Not part of the test command: it measures the tests, it does not test the code.
Prints one line a fault and the total; results/<rev>.txt in DIR keeps the failing tests of each.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

# The tests of each area that a fault there can reach, not every slow case of the area
# (GoogleTest cases by their suite's name, the scripted ones by theirs).
ELEMENT = r"^CQMediaClock\.|^Timeline\.|^element_e2e_(four_channels|speeds_and_directions|frame_steps|file_mode)"
SOURCE = r"^(Navigation|Intake|Splitter|FeedState|FrameTime|Commands|Feed|Concurrency|MediaReader)\."
PLAYBACK = (r"^(PacketQueue|PictureDecoderTest)\.|^playback_e2e_(end_and_stop|speeds|"
            r"request_line|smooth_reverse|fos_merge|no_stall)")
NET = r"^(CQHttp[A-Za-z]*|CQURL|Interop|CQSocket|CQIOCP|CQEvenHandler|PlaybackUrl)\."
PLATFORM = r"^(Event|FileTime|Clock|Trace|PeriodicTimer)\.|^(PacketQueue|CQSocket|CQIOCP)\."
FOUNDATION = r"^(Md5|Base64|MemoryStream|ByteArray|BinaryReader|FileStream|CQString)\.|" + NET

# (file, text as it is, text with the fault, tests of its area, what the fault is)
FAULTS = [
    ("element/CQMediaElement.cpp", "return speed >= 2 && speed <= 5;",
     "return speed >= 3 && speed <= 5;", ELEMENT, "4x reads every picture, not key frames only"),
    ("element/CQMediaElement.cpp", 's->orientation == 1 ? "Forward" : "Rewind"',
     's->orientation != 1 ? "Forward" : "Rewind"', ELEMENT, "URL direction swapped"),
    # (The element never asks for FOS: a fault in that branch would be no fault.)
    ("element/CQMediaElement.cpp", '(fos ? "PlayBack1_All_FOS" : "PlayBack1_All")',
     '(fos ? "PlayBack1_All_FOS" : "PlayBack1")', ELEMENT, "wrong endpoint for several channels"),
    ("element/presentation.cpp", "m_bOnlyKeyFrame ? kClockStartKeyFrames : kClockStart",
     "m_bOnlyKeyFrame ? kClockStart : kClockStartKeyFrames", ELEMENT,
     "clock start counts swapped"),
    ("element/reader.cpp", "packet->duration = keyOnly ? rec.groupDuration : rec.duration;",
     "packet->duration = !keyOnly ? rec.groupDuration : rec.duration;", ELEMENT,
     "key-frame picture lasts one frame"),
    ("element/reader.cpp", "if (rec.keyFrame == 1) packet->flags |= AV_PKT_FLAG_KEY;",
     "if (rec.keyFrame == 0) packet->flags |= AV_PKT_FLAG_KEY;", ELEMENT, "key flag inverted"),
    ("source/CQMyFile_Navigation.cpp", "        if (x <= 0) break;", "        if (x < 0) break;",
     SOURCE + "|^element_e2e_file_mode", "SetPos lands one group late"),
    ("source/CQMyFile_Navigation.cpp", "(forward ? time < start : time > start)",
     "(forward ? time > start : time < start)", SOURCE,
     "multi-channel turn starts at the wrong channel's group"),
    ("source/CQMyFile_Navigation.cpp", "std::prev(it)->first.frameTime == it->first.frameTime)\n        --it;",
     "std::prev(it)->first.frameTime == it->first.frameTime)\n        break;", SOURCE + "|^element_e2e_file_mode",
     "SetPos enters the second of groups starting together"),
    ("source/CQMyFile_Navigation.cpp", "while (m_listBehind.size() > kMaxBehindGroups)",
     "while (m_listBehind.size() > 0)", SOURCE, "groups kept behind trimmed to none"),
    ("source/CQMyFile_Navigation.cpp",
     "if (!m_bOnFile) m_nDuration -= keyOnly ? rec->groupDuration : rec->duration;",
     "if (!m_bOnFile) m_nDuration -= keyOnly ? rec->duration : rec->groupDuration;", SOURCE,
     "buffered time of key frames counted off wrong"),
    ("source/CQMyFile.cpp", "m_pCurrent->length > kMaxPayloadLength",
     "m_pCurrent->length >= kMaxPayloadLength", SOURCE, "largest payload refused"),
    ("engine/CQFFmpegPlayer.cpp", "return exponent == 2 ? 4.0 : std::pow(2.0, exponent);",
     "return exponent == 2 ? 2.0 : std::pow(2.0, exponent);", PLAYBACK, "exponent 2 plays at 2x"),
    ("engine/packet_queue.cpp", "    cond_.notify_one();\n    return 0;", "    return 0;",
     PLAYBACK, "Put wakes no reader"),
    ("playback_api/CVarnel1.cpp", "== MediaElementOrientations_Forward ? 1 : 0;",
     "== MediaElementOrientations_Forward ? 0 : 1;", PLAYBACK, "merge direction swapped"),
    ("platform/sync.cpp", "for (Waiter* w : waiters_) w->cv.notify_one();",
     "for (Waiter* w : waiters_) (void)w;", PLATFORM,
     "event set wakes no waiter"),
    ("net/http/http_request.cpp", 'value = "Basic " +', 'value = "basic " +', NET,
     "wrong scheme in Authorization"),
    ("net/http/url.cpp", 'url.substr(0, colon + 1) + "***"', 'url.substr(0, colon) + "***"', NET,
     "password mask eats the colon"),
    ("net/http/http_push_client.cpp", 'std::string marker = "--" +', 'std::string marker = "-" +',
     NET, "part boundary marker one dash short"),
    ("foundation/md5.cpp", "(x << n) | (x >> (32 - n))", "(x << n) | (x >> (31 - n))",
     FOUNDATION, "MD5 rotation off by one"),
]


def sh(cmd, cwd, log=None, timeout=None):
    out = subprocess.run(cmd, cwd=cwd, shell=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True, timeout=timeout)
    if log is not None:
        log.write(out.stdout)
    return out.returncode, out.stdout


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rev", default="HEAD")
    ap.add_argument("--work")
    ap.add_argument("--only", default="", help="fault numbers, in the order to run them")
    args = ap.parse_args()
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    rev = subprocess.check_output(["git", "rev-parse", "--short", args.rev], cwd=repo, text=True).strip()
    work = args.work or f"/tmp/varnel-seed-{rev}"
    if not os.path.isdir(work):
        os.makedirs(work)
        subprocess.check_call(f"git archive {rev} | tar -x -C {work}", cwd=repo, shell=True)
    build = os.path.join(work, "build")
    os.makedirs(os.path.join(work, "results"), exist_ok=True)
    log = open(os.path.join(work, "results", f"{rev}.txt"), "a")
    # Hosts and tests link the library dynamically: a fault in it relinks none of them.
    rc, out = sh("cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNEL_BENCH=OFF "
                 "-DCMAKE_LINK_DEPENDS_NO_SHARED=ON >/dev/null && ninja -C build -j2", work, log)
    if rc != 0:
        sys.exit("build failed:\n" + out[-3000:])
    # In the order given, so that the faults that matter most for a change run first.
    order = [int(n) for n in args.only.split(",") if n] or range(1, len(FAULTS) + 1)
    caught = tried = 0
    for n in order:
        path, good, bad, tests, what = FAULTS[n - 1]
        file = os.path.join(work, path)
        text = open(file).read()
        if text.count(good) != 1:
            print(f"{n:2} SKIP   {path}: the line is not there once ({what})", flush=True)
            continue
        shutil.copy2(file, file + ".orig")
        try:
            open(file, "w").write(text.replace(good, bad))
            t0 = time.monotonic()
            rc, out = sh("ninja -C build -j2", work, log)
            if rc != 0:
                verdict, failed = "caught", "build"  # the compiler catches it
            else:
                # The first failure decides: the rest of the tests cannot make it survive.
                rc, out = sh(f"ctest --test-dir build -j2 --timeout 300 --stop-on-failure "
                             f"-R '{tests}'", work, log)
                failed = ",".join(re.findall(r"^\s*\d+ - (\S+)", out.split("tests FAILED:")[-1], re.M)
                                  if "tests FAILED:" in out else [])
                if "No tests were found" in out:
                    sys.exit(f"fault {n}: no test matches {tests}")
                verdict = "caught" if rc != 0 else "SURVIVED"
        finally:
            shutil.move(file + ".orig", file)
            # Newer than the object built with the fault: the next build compiles it again.
            os.utime(file)
        tried += 1
        caught += verdict == "caught"
        line = f"{n:2} {verdict:8} {path}: {what} [{time.monotonic() - t0:.0f} s] {failed}"
        print(line, flush=True)
        log.write("RESULT " + line + "\n")
    sh("ninja -C build -j2", work)
    print(f"caught {caught} of {tried}")


if __name__ == "__main__":
    main()
