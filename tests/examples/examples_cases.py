#!/usr/bin/env python3
"""The client examples of examples/ against the real brisvane.exe under Wine, with the
simulated engine server (the end-to-end rig's prefix, tests/e2e/rig.py) playing a tone.
Each case checks what the example handed its caller: the start-up line, frames of 1920
floats holding exactly the samples the engine played, and the error at the end with its
exit status, context and report. Usage: examples_cases.py BUILD_DIR CASE"""
import json
import math
import os
import shutil
import struct
import subprocess
import sys
import time
from array import array

sys.dont_write_bytecode = True  # no __pycache__ in the source tree from the imports below
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
EXAMPLES = os.path.join(REPO, "examples")
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
sys.path.insert(0, os.path.join(EXAMPLES, "python"))
from rig import FRAME, EngineLog, Failure, Rig, check, hr_display, windows_report, winpath  # noqa: E402

import brisvane  # noqa: E402  (examples/python/brisvane.py)

INVALIDATED = 0x88890004
READ_FAILED = "failed to read WASAPI loopback samples"
TOLERANCE = 1e-7
TIMEOUT = 60

# The engine plays a 1000 Hz tone of amplitude 0.5 in packets of varying size, as fast as the
# program reads, and the device goes away after 180 packets: 60 x (441 + 480 + 1056) = 118 620
# sample frames, 123 whole 7680-byte frames (118 080 sample frames) and a partial one that is
# never written.
TONE = """
source = tone 1000 0.5
pace = fast
packet_frames = 441,480,1056
invalidate_after_packets = 180
"""
PLAYED_FRAMES = 60 * (441 + 480 + 1056)
WHOLE_FRAMES = PLAYED_FRAMES * 8 // FRAME

# The same run with a recording played from a file: the two channels differ (997 Hz on the
# left, 1499 Hz at amplitude 0.25 on the right) and no 20 ms frame repeats another, as the
# 1000 Hz tone's do (20 whole periods each), so a lost, repeated or reordered frame or swapped
# channels show; the engine copies the file's bytes, so they compare exactly.
RECORDING_FRAMES = 130000  # more than the 180 packets take


def recording_samples(sample_frames):
    out = array("f")
    for n in range(sample_frames):
        out.append(0.5 * math.sin(2 * math.pi * 997.0 * n / 48000.0))
        out.append(0.25 * math.sin(2 * math.pi * 1499.0 * n / 48000.0 + 1.0))
    return out


def recording_scenario(rig):
    path = os.path.join(rig.root, "runs", "examples-recording.f32")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    samples = recording_samples(RECORDING_FRAMES)
    if sys.byteorder == "big":
        samples.byteswap()
    with open(path, "wb") as f:
        f.write(samples.tobytes())
    return TONE.replace("source = tone 1000 0.5", "source = file " + winpath(path))


# Unlimited, in real time: the client stops it.
ENDLESS = """
source = tone 1000 0.5
pace = realtime
packet_frames = 480
"""

# A start-up failure: no start-up line, no PCM.
STARTUP_FAILS = """
source = tone 1000 0.5
fail = Initialize 0x88890008
"""
INIT_FAILED = "failed to initialize WASAPI loopback client"


def log(text):
    print(text, flush=True)


# --- what the engine played ------------------------------------------------------------------
def tone_sample(n):
    """Sample frame n of the engine's tone, as it computes it: in double, then rounded to float."""
    t = n / 48000.0
    return struct.unpack("<f", struct.pack("<f", 0.5 * math.sin(2 * math.pi * 1000.0 * t)))[0]


def expected_samples(sample_frames):
    out = array("f")
    for n in range(sample_frames):
        v = tone_sample(n)
        out.append(v)
        out.append(v)
    return out


def engine_played(work):
    """Sample frames the engine made ready, from its log: contiguous from offset 0."""
    ready = rig_log(work).of("ready")
    offset = 0
    for p in ready:
        check(int(p["offset"]) == offset, "engine packets are not contiguous at %s" % p)
        offset += 8 * int(p["frames"])
    return offset // 8


def rig_log(work):
    return EngineLog(os.path.join(work, "engine.log"))


def compare_samples(got, want, what, tolerance):
    """got and want: sequences of floats, equal to within `tolerance` (0: exactly)."""
    check(len(got) == len(want), "%s: %d floats received, the engine played %d (in whole frames)" %
          (what, len(got), len(want)))
    exact, worst, first_bad = 0, 0.0, None
    for i, (g, w) in enumerate(zip(got, want)):
        if g == w:
            exact += 1
            continue
        d = abs(g - w)
        if d > worst:
            worst = d
        if (d > tolerance or g != g) and first_bad is None:
            first_bad = i
    if first_bad is not None:
        raise Failure("%s: float %d (sample frame %d, %s channel) is %r, the engine played %r" %
                      (what, first_bad, first_bad // 2, "left" if first_bad % 2 == 0 else "right",
                       got[first_bad], want[first_bad]))
    return exact, worst


def floats_of(data):
    a = array("f")
    a.frombytes(data)
    if sys.byteorder == "big":
        a.byteswap()
    return a


# --- running the examples ---------------------------------------------------------------------
class Run:
    """One run of the program for an example: its directory with the scenario, and the
    environment with the example's command override (a prefix: Wine and the program)."""

    def __init__(self, rig, name, scenario):
        self.rig = rig
        self.work = os.path.join(rig.root, "runs", "examples-" + name)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        with open(os.path.join(self.work, "scenario.txt"), "w") as f:
            f.write(scenario.strip() + "\nlog = %s\n" % winpath(os.path.join(self.work, "engine.log")))
        self.command = [rig.wine_run, rig.exe]
        self.env = dict(rig.env)
        self.env["BRISVANE_ENGINE_SCENARIO"] = winpath(os.path.join(self.work, "scenario.txt"))
        self.env["BRISVANE_COMMAND"] = " ".join(self.command)
        self.env["BRISVANE"] = " ".join(self.command)
        self.env["PYTHONDONTWRITEBYTECODE"] = "1"  # level.py imports brisvane.py from the source tree
        # A Wine server that the example's child started would inherit its pipes and hold them
        # open after the program ends: keep one running for the prefix.
        rig.keep_server()

    def path(self, name):
        return os.path.join(self.work, name)

    def engine_played(self):
        return engine_played(self.work)

    def run(self, args, **kw):
        return subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=TIMEOUT, **kw)


def invalidation(rig):
    d = hr_display(INVALIDATED, rig.message(INVALIDATED))
    return windows_report(READ_FAILED, INVALIDATED, rig.message(INVALIDATED)), ["Windows returned an error: " + d, d]


def startup_failure(rig):
    code = 0x88890008
    d = hr_display(code, rig.message(code))
    return windows_report(INIT_FAILED, code, rig.message(code)), ["Windows returned an error: " + d, d]


def error_message(status, context, causes):
    """The one-line message both library examples build from the report."""
    return "brisvane exited with status %d: %s: %s" % (status, context, causes[0])


def level_lines(samples):
    """What the level examples print for these interleaved samples: one line per whole second."""
    lines = []
    per_second = 50 * 1920
    for s in range(len(samples) // per_second):
        chunk = samples[s * per_second:(s + 1) * per_second]
        rms = math.sqrt(math.fsum(v * v for v in chunk) / per_second)
        peak = max(abs(v) for v in chunk)
        lines.append("%4d s  RMS %6.1f dBFS  peak %6.1f dBFS" % (s + 1, 20 * math.log10(rms), 20 * math.log10(peak)))
    return lines


def check_ended(run, what):
    """The program is gone: its engine (in its process, making a packet every 10 ms in real
    time) makes no more packets."""
    before = len(rig_log(run.work).of("ready"))
    time.sleep(0.3)
    after = len(rig_log(run.work).of("ready"))
    check(before > 0 and after == before, "%s: the engine still made packets (%d, then %d 300 ms later): the "
          "program was not ended" % (what, before, after))


def check_played(run, what, recording=False):
    """The samples of the whole frames the engine played in a TONE (or recording) run."""
    played = run.engine_played()
    check(played == PLAYED_FRAMES, "%s: the engine played %d sample frames, the scenario says %d" %
          (what, played, PLAYED_FRAMES))
    return (recording_samples if recording else expected_samples)(WHOLE_FRAMES * 960)


def check_level_cli(rig, name, args):
    report, causes = invalidation(rig)
    run = Run(rig, name, TONE)
    p = run.run(args, cwd=os.path.dirname(args[-1]))
    want = level_lines(check_played(run, name))
    check(len(want) == 2, "the tone should give two whole seconds")
    out, err = p.stdout.decode(), p.stderr.decode()
    check(p.returncode == 1, "%s exited with %d, expected brisvane's status 1; stderr %r" % (name, p.returncode, err))
    check(out.splitlines() == want, "%s printed:\n%s\nexpected:\n%s" % (name, out, "\n".join(want)))
    check(err == "brisvane started\n" + error_message(1, READ_FAILED, causes) + "\n", "%s stderr: %r" % (name, err))
    log("%s: %s; then %r" % (name, " | ".join(want), err.splitlines()[-1]))


# --- Python ------------------------------------------------------------------------------------
def case_python(rig):
    report, causes = invalidation(rig)

    # 1. A recording until the device goes away.
    run = Run(rig, "python", recording_scenario(rig))
    received, bad, started_at_first, error = array("f"), [], None, None
    t0 = time.monotonic()
    with brisvane.Capture(run.command, run.env) as capture:
        check(capture.wait_started(TIMEOUT), "wait_started() did not see the start-up line")
        try:
            for frame in capture:
                if started_at_first is None:
                    started_at_first = capture.started
                if not (isinstance(frame, array) and frame.typecode == "f" and len(frame) == 1920):
                    bad.append((type(frame).__name__, getattr(frame, "typecode", None), len(frame)))
                received.extend(frame)
                check(time.monotonic() - t0 < TIMEOUT, "the stream did not end")
        except brisvane.BrisvaneError as e:
            error = e
    check(not bad, "frames that are not array('f') of 1920 floats: %s" % bad[:5])
    check(started_at_first is True, "the start-up line was not surfaced before the first frame")
    check(error is not None, "the stream ended without a BrisvaneError")
    check(error.status == 1, "status %r, expected 1" % error.status)
    check(error.context == READ_FAILED, "context %r" % error.context)
    check(error.report == report, "report %r, expected %r" % (error.report, report))
    check(error.causes == causes, "causes %r, expected %r" % (error.causes, causes))
    check(str(error) == error_message(1, READ_FAILED, causes), "message %r" % str(error))
    compare_samples(received, check_played(run, "python", recording=True), "python", 0)
    log("python: started line surfaced, %d frames of array('f') x 1920, exactly the recording the engine "
        "played, then %r (.status %d)" % (len(received) // 1920, str(error), error.status))

    # 2. The caller stops it: leaving the with block (or the frames() generator) early ends the
    # program, with no error.
    want = expected_samples(25 * 960)
    for how in ("with", "generator"):
        run = Run(rig, "python-stop-" + how, ENDLESS)
        got = array("f")
        if how == "with":
            with brisvane.Capture(run.command, run.env) as capture:
                for frame in capture:
                    got.extend(frame)
                    if len(got) == len(want):
                        break
            check(capture.status is not None, "the program still runs after the with block")
            ended = "status %d" % capture.status
        else:
            gen = brisvane.frames(run.command, run.env)
            for frame in gen:
                got.extend(frame)
                if len(got) == len(want):
                    break
            gen.close()  # what dropping it does: the with block inside ends the program
            ended = "generator closed"
        check_ended(run, "python (%s)" % how)
        exact, worst = compare_samples(got, want, "python, stopped (%s)" % how, TOLERANCE)
        log("python, left after 25 frames (%s): no error, the program ended (%s); the tone's samples, "
            "%d of %d floats exact, largest difference %.1e" % (how, ended, exact, len(got), worst))

    # 3. A start-up failure: no start-up line, no frame, the report.
    want_report, want_causes = startup_failure(rig)
    run = Run(rig, "python-startup", STARTUP_FAILS)
    error = None
    with brisvane.Capture(run.command, run.env) as capture:
        started = capture.wait_started(TIMEOUT)
        try:
            n = sum(1 for _ in capture)
            check(False, "no error after %d frames" % n)
        except brisvane.BrisvaneError as e:
            error = e
    check(not started, "a start-up line was surfaced for a failed start")
    check((error.status, error.context, error.report, error.causes) == (1, INIT_FAILED, want_report, want_causes),
          "start-up failure surfaced as %r %r %r %r" % (error.status, error.context, error.report, error.causes))
    log("python, start-up failure: %r" % str(error))

    check_level_cli(rig, "python-level", [sys.executable, os.path.join(EXAMPLES, "python", "level.py")])


# --- ffmpeg and sox ---------------------------------------------------------------------------------
def wav_floats(path):
    """The format and the samples of a 32-bit float WAV file (plain or extensible)."""
    with open(path, "rb") as f:
        data = f.read()
    check(data[:4] == b"RIFF" and data[8:12] == b"WAVE", "not a WAV file")
    check(struct.unpack_from("<I", data, 4)[0] == len(data) - 8, "the RIFF size is not the file's")
    pos, fmt, samples = 12, None, None
    while pos + 8 <= len(data):
        cid, size = data[pos:pos + 4], struct.unpack_from("<I", data, pos + 4)[0]
        body = data[pos + 8:pos + 8 + size]
        if cid == b"fmt ":
            tag, channels, rate, byte_rate, align, bits = struct.unpack_from("<HHIIHH", body)
            if tag == 0xFFFE:
                tag = struct.unpack_from("<H", body, 24)[0]  # the sub-format GUID's first two bytes
            fmt = (tag, channels, rate, bits)
        elif cid == b"data":
            check(len(body) == size, "the data chunk says %d bytes, the file holds %d" % (size, len(body)))
            samples = floats_of(body)
        pos += 8 + size + (size & 1)
    check(fmt == (3, 2, 48000, 32), "format (tag, channels, rate, bits) = %s, expected IEEE float 2 x 48000 x 32" %
          (fmt,))
    check(samples is not None, "no data chunk")
    return samples


def case_shell(rig, tool):
    for recording in (False, True):
        shell_run(rig, tool, recording)


def shell_run(rig, tool, recording):
    """The example script records a run into a WAV file. ffmpeg copies the floats; sox works on
    32-bit integers inside and may be one float step (under 1e-7 here) off."""
    report, causes = invalidation(rig)
    name = tool + ("-recording" if recording else "-tone")
    run = Run(rig, name, recording_scenario(rig) if recording else TONE)
    wav = run.path("out.wav")
    p = run.run([os.path.join(EXAMPLES, "shell", tool + ".sh"), wav])
    err = p.stderr.decode(errors="replace")
    check(p.returncode == 1, "%s.sh exited with %d, expected brisvane's 1; stderr:\n%s" % (tool, p.returncode, err))
    check(err.startswith("brisvane started\n") or "\nbrisvane started\n" in err, "no start-up line:\n" + err)
    check(report in err, "brisvane's report is not on standard error:\n" + err)
    check(err.rstrip("\n").endswith("brisvane exited with status 1"), "the status is not reported:\n" + err)
    want = check_played(run, name, recording)
    got = wav_floats(wav)
    check(len(got) * 4 == WHOLE_FRAMES * FRAME, "%s: %d bytes of samples, expected %d" %
          (name, len(got) * 4, WHOLE_FRAMES * FRAME))
    tolerance = TOLERANCE if tool == "sox" or not recording else 0
    exact, worst = compare_samples(got, want, name, tolerance)
    log("%s: the WAV holds %d sample frames (%.3f s) of 32-bit float, %d of %d floats exactly the engine's "
        "(largest difference %.1e, allowed %.0e); brisvane's report and its status 1 on standard error" %
        (name, len(got) // 2, len(got) / 2 / 48000, exact, len(got), worst, tolerance))


def main():
    cases = ("python", "ffmpeg", "sox")
    if len(sys.argv) < 3 or sys.argv[2] not in cases:
        print("usage: examples_cases.py BUILD_DIR {%s}" % ",".join(cases), file=sys.stderr)
        return 2
    rig = Rig(sys.argv[1])
    check_prefix = os.path.join(rig.prefix, "system.reg")
    name = sys.argv[2]
    t0 = time.monotonic()
    try:
        check(os.path.exists(check_prefix), "no e2e prefix: run e2e_setup first")
        if name == "python":
            case_python(rig)
        else:
            case_shell(rig, name)
    except Failure as e:
        print("FAILED examples %s: %s" % (name, e), file=sys.stderr)
        return 1
    log("examples %s passed in %.1f s" % (name, time.monotonic() - t0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
