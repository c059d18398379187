"""python -m brisvane record OUT.wav [--seconds N] [--rate R] [--mono] [--s16] [--device NAME | --app PID]
python -m brisvane devices
python -m brisvane doctor"""
from __future__ import annotations

import argparse
import math
import sys
import time
from typing import List, Optional

from ._capture import RATES, Capture, numpy_module
from ._errors import BrisvaneError
from ._program import OVERRIDE, resolve
from ._records import Device, Dropped, Gap, Restart
from ._source import devices as list_devices
from ._wav import WavWriter

BAR = 30


def explain(error: BrisvaneError) -> str:
    lines = [str(error.message)]
    if error.report.strip() and error.context:
        lines.append("brisvane's report:\n  " + error.report.rstrip("\n").replace("\n", "\n  "))
    if error.code:
        lines.append("code: %s%s" % (error.code, " (HRESULT 0x%08X)" % error.hresult if error.hresult else ""))
    if error.hint:
        lines.append("what to do: " + error.hint)
    return "\n".join(lines)


class Meter:
    """One line on standard error, redrawn: elapsed time, level bar, peak, gaps, drops."""

    def __init__(self, scale: float):
        self.scale, self.peak, self.gap_seconds, self.dropped, self.restarts = scale, 0.0, 0.0, 0, 0
        self.last = 0.0

    def frame(self, frame, seconds: float, device: Optional[Device]) -> None:
        if hasattr(frame, "dtype"):  # NumPy
            peak = float(abs(frame.astype("float64")).max()) / self.scale
        else:
            peak = max(max(frame), -min(frame)) / self.scale
        self.peak = max(self.peak, peak)
        now = time.monotonic()
        if now - self.last < 0.1:
            return
        self.last = now
        db = 20 * math.log10(self.peak) if self.peak > 0 else -math.inf
        filled = 0 if db == -math.inf else max(0, min(BAR, int((db + 60) / 60 * BAR)))
        sys.stderr.write("\r%6.1f s [%s%s] peak %6.1f dBFS  gaps %.1f s  dropped %d  restarts %d %s" %
                         (seconds, "#" * filled, "-" * (BAR - filled), db, self.gap_seconds, self.dropped,
                          self.restarts, ("Recording: " + device.name[:32] if device else "").ljust(43)))
        sys.stderr.flush()
        self.peak = 0.0


def record(args: argparse.Namespace) -> int:
    channels, sample_format = (1 if args.mono else 2), ("s16" if args.s16 else "f32")
    meter = Meter(32768.0 if args.s16 else 1.0) if sys.stderr.isatty() else None
    notes: List[str] = []

    def on_gap(gap: Gap) -> None:
        if meter:
            meter.gap_seconds += gap.seconds

    def on_drop(dropped: Dropped) -> None:
        if meter:
            meter.dropped = dropped.total

    def on_restart(restart: Restart) -> None:
        notes.append("capture started again (%s%s)" % (restart.reason, ": " + restart.device if restart.device else ""))
        if meter:
            meter.restarts += 1

    source = {"device": args.device} if args.device else {"app": args.app} if args.app else "default"
    try:
        capture = Capture(source=source, rate=args.rate, channels=channels, format=sample_format,
                          numpy=numpy_module() is not None, timeline="continuous", restart=True, follow_default=True,
                          on_gap=on_gap, on_drop=on_drop, on_restart=on_restart)
        capture.start()
    except BrisvaneError as error:
        print(explain(error), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    wav = WavWriter(args.out, args.rate, channels, sample_format)
    limit = None if args.seconds is None else int(round(args.seconds * 50))
    frames, status = 0, 0
    try:
        for frame in capture:
            wav.write(frame)
            frames += 1
            if meter:
                meter.frame(frame, frames * 0.02, capture.device)
            if limit is not None and frames >= limit:
                break
    except KeyboardInterrupt:
        pass
    except BrisvaneError as error:
        print(("\n" if meter else "") + explain(error), file=sys.stderr)
        status = 1
    finally:
        capture.close()
        wav.close()
    if capture.end_reason == "app-exited":
        notes.append("the application recorded exited")
    for note in notes:
        print("brisvane: " + note, file=sys.stderr)
    print("%sbrisvane: wrote %s: %.2f s, %d Hz, %s, %s" % ("\n" if meter else "", args.out, wav.data / wav.align /
          args.rate, args.rate, "mono" if channels == 1 else "stereo", sample_format), file=sys.stderr)
    return status


def devices(args: argparse.Namespace) -> int:
    try:
        listed = list_devices()
    except BrisvaneError as error:
        print(explain(error), file=sys.stderr)
        return 1
    for device in listed:
        print("%s %s  %s" % ("*" if device.default else " ", device.name or "(no name)", device.id))
    if not listed:
        print("No active output device.")
    return 0


def doctor(args: argparse.Namespace) -> int:
    try:
        command = resolve()
    except BrisvaneError as error:
        print("The program cannot be found: " + explain(error))
        return 1
    print("Program: %s" % " ".join(command))
    capture = Capture(start_timeout=args.timeout, follow_default=True)
    try:
        capture.start()
    except BrisvaneError as error:
        print("brisvane-capture.exe did not start.\n" + explain(error))
        return 1
    print("brisvane-capture.exe started: it is capturing the default output device.")
    frames = 0
    deadline = time.monotonic() + args.listen
    try:
        while time.monotonic() < deadline:
            if capture.read(max(0.0, deadline - time.monotonic())) is not None:
                frames += 1
        device = capture.device
    except BrisvaneError as error:
        print("brisvane-capture.exe stopped while listening.\n" + explain(error))
        return 1
    finally:
        capture.close()
    if device:
        print("The default output device: %s (id %s)." % (device.name, device.id))
    else:
        print("There is no default output device: the capture waits for one.")
    if frames:
        print("In %g s it delivered %d frames (%.2f s of audio): capture works." % (args.listen, frames, frames * 0.02))
    else:
        print("In %g s nothing arrived: nothing is playing (nothing is written while the device is silent). "
              "Play a sound and run doctor again to see audio arrive." % args.listen)
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m brisvane", description="Record what this computer plays. "
                                     "brisvane-capture.exe is found through %s, or bundled." % OVERRIDE)
    commands = parser.add_subparsers(dest="command", required=True)
    rec = commands.add_parser("record", help="record into a WAV file until Ctrl+C (or --seconds)")
    rec.add_argument("out", help="the WAV file to write")
    rec.add_argument("--seconds", type=float, help="stop after this many seconds of recording")
    rec.add_argument("--rate", type=int, default=48000, choices=RATES, help="sample rate (default 48000)")
    rec.add_argument("--mono", action="store_true", help="one channel, the mean of left and right")
    rec.add_argument("--s16", action="store_true", help="16-bit integer samples instead of 32-bit float")
    which = rec.add_mutually_exclusive_group()
    which.add_argument("--device", metavar="NAME", help="this output device (a name from `devices`, or an id)")
    which.add_argument("--app", metavar="PID", type=int, help="only this application (a process id)")
    commands.add_parser("devices", help="list the active output devices (* marks the default)")
    doc = commands.add_parser("doctor", help="start the capture and explain what happens")
    doc.add_argument("--timeout", type=float, default=10.0, help="seconds to wait for it to start")
    doc.add_argument("--listen", type=float, default=2.0, help="seconds to listen for audio")
    args = parser.parse_args(argv)
    return {"record": record, "devices": devices, "doctor": doctor}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
