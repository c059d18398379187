"""The behaviour every client package shares (clients/behaviour-cases.json), each case run
against fake_capture.py playing its program; one test per case, each bounded in time."""
import faulthandler
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import brisvane

HERE = Path(__file__).resolve().parent
TABLE = json.loads((HERE.parents[1] / "behaviour-cases.json").read_text(encoding="utf-8"))
BOUND = 15  # seconds: a case that takes longer hangs (its program left running), and the run ends
EVENT = {brisvane.Gap: "gap", brisvane.Restart: "reopen", brisvane.DeviceChange: "device", brisvane.Dropped: "dropped"}


class Bounded(unittest.TestCase):
    """Every test ends the whole run, with its threads' tracebacks, if it takes over BOUND s."""

    def setUp(self):
        faulthandler.dump_traceback_later(BOUND, exit=True)

    def tearDown(self):
        faulthandler.cancel_dump_traceback_later()


def fake(case):
    """The command that plays `case`, and its folder of notes."""
    state = tempfile.mkdtemp(prefix="brisvane-fake.")
    Path(state, "case.json").write_text(json.dumps(case), encoding="utf-8")
    return [sys.executable, str(HERE / "fake_capture.py"), state], state


def runs(state):
    return [json.loads(p.read_text()) for p in sorted(Path(state).glob("run-*.json"))]


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return subprocess.run(["ps", "-o", "stat=", "-p", str(pid)], capture_output=True, text=True).stdout[:1] not in "Z"


def options_of(neutral):
    """The table's options in this package's spelling."""
    names = {"rate": "rate", "channels": "channels", "sampleType": "format", "maxQueuedFrames": "queue_frames",
             "follow": "follow_default"}
    options = {names[k]: v for k, v in neutral.items() if k in names}
    if "timeline" in neutral:
        options["timeline"] = {"exact": "live", "continuous": "continuous"}[neutral["timeline"]]
    if "fillLagMs" in neutral:
        options["fill_after"] = neutral["fillLagMs"] / 1000
    if neutral.get("restart"):
        restart = neutral["restart"]
        options.update(restart=True, max_restarts=restart["attempts"], restart_delay=restart["delayMs"] / 1000,
                       restart_max_delay=restart["maxDelayMs"] / 1000)
    source = neutral.get("source", "default")
    if source == "allButThisApp":
        options["source"] = "all-but-this-app"
    elif isinstance(source, dict):
        options["source"] = {{"allBut": "all_but"}.get(k, k): v for k, v in source.items()}
    return options


def neutral_event(event):
    kind = EVENT[type(event)]
    if kind == "device":
        device = event.device
        return {"device": device and {"id": device.id, "name": device.name, "default": device.default}}
    if kind == "gap":
        return {"gap": {"start": event.start, "length": event.length, "filled": event.filled,
                        "reason": {"restart": "reopen"}.get(event.reason, event.reason)}}
    if kind == "reopen":
        error = event.error
        return {"reopen": {"reason": event.reason, "attempt": event.attempt, "delayMs": round(event.delay * 1000),
                           "hresult": error and "0x%08X" % error.hresult, "code": error and error.code}}
    return {"dropped": {"frames": event.frames, "total": event.total}}


def expand(frames, rate):
    """The expected frames, repeats written out."""
    whole = []
    for frame in frames:
        for k in range(frame.get("repeat", 1)):
            step = k * (frame["count"] * 10 ** 7 // rate)
            whole.append(dict(frame, index=frame["index"] + k * frame["count"], qpc=frame["qpc"] + step,
                              system=frame["system"] + step))
            if k:  # the table gives the first record's first and last samples; the pattern the others'
                del whole[-1]["first"], whole[-1]["last"]
    return whole


def pattern(n, sample_type):
    return (n % 1048576) / 1048576 - 0.5 if sample_type == "f32" else (n % 65536) - 32768


class Cases(Bounded):
    def play(self, case):
        command, state = fake(case)
        if case.get("missing"):
            command = [os.path.join(state, "nowhere", "brisvane-capture.exe")]
        expect, consumer = case["expect"], case["consumer"]
        options = options_of(case["options"])
        sample_type, channels = options.get("format", "f32"), options.get("channels", 2)
        if consumer.get("listDevices"):
            listed = brisvane.devices(command)
            self.assertEqual([{"id": d.id, "name": d.name, "default": d.default} for d in listed], expect["devices"])
            self.check_runs(case, state)
            return
        events, frames, error = [], [], None
        callbacks = {name: lambda e: events.append(neutral_event(e)) for name in ("on_gap", "on_drop", "on_restart")}
        callbacks["on_device"] = lambda d: events.append(neutral_event(brisvane.DeviceChange(d)))
        cap = brisvane.Capture(command, **options, **callbacks)
        try:
            if consumer.get("readAfterExit"):
                cap.start()
                cap.process.wait()
                cap._session.threads[1].join()
            elif consumer.get("stopAfterStart"):
                cap.start()
                cap.close()
            for frame in cap:
                frames.append((frame, cap.timing))
                named = [e["device"] for e in events if "device" in e]
                if named:  # the device of the frames read, not of records read ahead
                    self.assertEqual(cap.device and neutral_event(brisvane.DeviceChange(cap.device))["device"],
                                     named[-1])
                if len(frames) == consumer.get("stopAfterFrames"):
                    cap.close()
        except brisvane.BrisvaneError as e:
            error = e
        finally:
            cap.close()
        want = expand(expect["frames"], options.get("rate", 48000))
        self.assertEqual([t.index for _, t in frames], [f["index"] for f in want])
        for (frame, timing), f in zip(frames, want):
            self.assertEqual((timing.count, timing.qpc, timing.system, timing.flags, frame[0], frame[-1]),
                             (f["count"], f["qpc"], f["system"], f["flags"], f.get("first", frame[0]),
                              f.get("last", frame[-1])))
            first = timing.index * channels
            values = [0] * len(frame) if f["flags"] & 8 else \
                [pattern(n, sample_type) for n in range(first, first + timing.count * channels)]
            self.assertEqual(list(frame), values, "frame %d" % timing.index)
        self.assertEqual(events, expect["events"])
        if "error" in expect:
            self.assertIsNotNone(error, "the capture ended without an error")
            want_error = dict(expect["error"])
            if "hresult" in want_error:
                want_error["hresult"] = want_error["hresult"] and int(want_error["hresult"], 16)
            got = {"code": error.code, "status": error.status, "context": error.context, "causes": error.causes,
                   "hresult": error.hresult, "hint": bool(error.hint)}
            self.assertEqual({k: got[k] for k in want_error}, want_error, str(error))
            self.assertEqual(cap.end_reason, None)
        else:
            self.assertIsNone(error)
            self.assertEqual(cap.end_reason, expect["end"]["reason"])
        filled = sum(e["gap"]["length"] for e in events if "gap" in e and e["gap"]["filled"])
        self.assertEqual(cap.filled, round(filled * 50 / options.get("rate", 48000)))
        self.check_runs(case, state)

    def check_runs(self, case, state):
        played = runs(state)
        if case["args"] is not None:
            want = [a.replace("$PID", str(os.getpid())) for a in case["args"]]
            self.assertEqual(played[-1]["args"], want)
        for run in played:
            self.assertFalse(alive(run["pid"]), "the program was left running")


def _test(case):
    return lambda self: self.play(case)


for number, case in enumerate(TABLE["cases"]):
    setattr(Cases, "test_%02d_%s" % (number, "_".join(case["name"].split()[:6]).replace(":", "")), _test(case))

if __name__ == "__main__":
    unittest.main()
