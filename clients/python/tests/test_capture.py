"""Capture against a fake program (fake_brisvane.py) that speaks brisvane's protocol."""
import asyncio
import gc
import json
import os
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import wave
from array import array
from pathlib import Path
from unittest import mock

import brisvane
from brisvane import BrisvaneError, Capture, Device, Gap, Restart
from brisvane.__main__ import main as cli
from brisvane._program import resolve
from brisvane._wav import WavWriter

FAKE = str(Path(__file__).with_name("fake_brisvane.py"))
LOST = ("report Error: failed to read WASAPI loopback samples\\n\\nCaused by:\\n    0: Windows returned an error: "
        "gone\\n       really (0x88890004)\\n    1: gone (0x88890004)\\n;exit 1")
DENIED = "report Error: failed to open default render endpoint\\n\\nCaused by:\\n    0x80070005\\n;exit 1"


def fake(*scripts):
    state = tempfile.mkdtemp(prefix="brisvane-fake.")
    return [sys.executable, FAKE, state] + list(scripts), state


def frame_numbers(frames):
    """The fake's floats carry their index: each frame's number, or None for one that is not
    a whole run of 1920 consecutive floats of the fake's."""
    numbers = []
    for frame in frames:
        index = [round((v + 0.5) * 1048576) for v in frame]
        whole = len(index) == 1920 and index == list(range(index[0], index[0] + 1920)) and index[0] % 1920 == 0
        numbers.append(index[0] // 1920 if whole else None)
    return numbers


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return subprocess.run(["ps", "-o", "stat=", "-p", str(pid)], capture_output=True, text=True).stdout[:1] not in "Z"


def pid_of(state, run=0):
    return int(Path(state, "pid-%d" % run).read_text())


class Protocol(unittest.TestCase):
    def test_frames_exact_across_odd_splits_then_the_error_as_reported(self):
        cases = [  # script, frames expected, status, context, causes, hresult, code
            ("started;split 1001;frames 3;split 7;frames 2;partial 5000;" + LOST, 5, 1,
             "failed to read WASAPI loopback samples", ["Windows returned an error: gone\nreally (0x88890004)",
                                                        "gone (0x88890004)"], 0x88890004, "DEVICE_INVALIDATED"),
            ("started;frames 1;exit 101", 1, 101, None, [], None, "STARTUP_LINE_FAILED"),
            ("started;report brisvane: out of memory\\n;exit 102", 0, 102, "brisvane: out of memory", [], None,
             "OUT_OF_MEMORY"),
        ]
        for script, count, status, context, causes, hresult, code in cases:
            with self.subTest(script=script), Capture(fake(script)[0]) as cap:
                frames = []
                with self.assertRaises(BrisvaneError) as caught:
                    for frame in cap:
                        frames.append(frame)
                e = caught.exception
                self.assertEqual(frame_numbers(frames), list(range(count)))
                self.assertEqual((e.status, e.context, e.causes, e.hresult, e.code), (status, context, causes,
                                                                                       hresult, code))
                self.assertIn(str(status), str(e))
        self.assertIn("Reconnect or enable it", str(BrisvaneError(1, "Error: x\n\nCaused by:\n    0x88890004\n")))

    def test_start_failure_and_start_timeout(self):
        with self.assertRaises(BrisvaneError) as caught:
            Capture(fake(DENIED)[0]).start()
        e = caught.exception
        self.assertEqual((e.status, e.context, e.causes, e.code), (1, "failed to open default render endpoint",
                                                                   ["0x80070005"], "ACCESS_DENIED"))
        self.assertIn("refused access", str(e))
        command, state = fake("hang")
        with self.assertRaises(BrisvaneError) as caught:
            Capture(command, start_timeout=0.5).start()
        self.assertEqual(caught.exception.code, "START_TIMEOUT")
        self.assertFalse(alive(pid_of(state)), "the program was left running")

    def test_reads_time_out_in_silence_and_every_way_out_ends_the_program(self):
        for how in ("with", "close", "gc"):
            command, state = fake("started;frames 2;hang")
            cap = Capture(command).start()
            self.assertEqual(len(cap.read(5)), 1920)
            self.assertEqual(len(cap.read(5)), 1920)
            t0 = time.monotonic()
            self.assertIsNone(cap.read(0.3))
            self.assertGreaterEqual(time.monotonic() - t0, 0.29)
            pid = pid_of(state)
            if how == "with":
                with cap:
                    pass
            elif how == "close":
                cap.close()
                with self.assertRaises(EOFError):
                    cap.read(1)
            else:
                del cap
                gc.collect()
            for _ in range(50):
                if not alive(pid):
                    break
                time.sleep(0.05)
            self.assertFalse(alive(pid), "the program outlived the capture (%s)" % how)

    def test_a_consumer_that_falls_behind_loses_the_oldest_frames_counted(self):
        drops = []
        with Capture(fake("started;frames 40;hang")[0], queue_frames=10, on_drop=drops.append) as cap:
            time.sleep(1.5)  # the program writes all 40 meanwhile: the reader keeps draining
            got = [cap.read(2) for _ in range(10)]
            self.assertIsNone(cap.read(0.2))
        self.assertEqual(frame_numbers(got), list(range(30, 40)))
        self.assertEqual((cap.dropped, [(d.frames, d.total) for d in drops]), (30, [(30, 30)]))


class Timeline(unittest.TestCase):
    def test_silence_is_filled_by_the_clock_without_touching_real_audio(self):
        gaps = []
        with Capture(fake("started;frames 5;sleep 1.0;frames 5;hang")[0], timeline="continuous", on_gap=gaps.append,
                     fill_after=0.2) as cap:
            t0 = time.monotonic()
            time.sleep(1.5)  # the consumer is busy while the silence passes
            frames = [cap.read(0) for _ in range(60)]
            elapsed = time.monotonic() - t0
        numbers = frame_numbers(frames)
        self.assertEqual([n for n in numbers if n is not None], list(range(10)))
        between = numbers.index(5) - numbers.index(4) - 1
        self.assertEqual((numbers.index(4), frames[5].tobytes()), (4, bytes(7680)), "fill before audio that came")
        self.assertTrue(30 <= between <= 45, "%d frames filled in 1 s of silence" % between)
        self.assertEqual((sum(g.frames for g in gaps), gaps[0].at), (cap.filled, 5))
        # By the clock: one frame plus the allowance (the fake wrote each burst at once).
        self.assertLessEqual(abs((10 + cap.filled) * 0.02 - (elapsed - 0.2)), 0.02 + 0.05, (elapsed, cap.filled))

    def test_restart_after_device_loss_and_on_request(self):
        restarts = []
        command, state = fake("started;frames 3;" + LOST, "started;frames 2;hang", "started;frames 1;hang")
        with Capture(command, restart=True, on_restart=restarts.append) as cap:
            got = [cap.read(10) for _ in range(5)]
            cap.restart("default-changed", "Speakers")
            got.append(cap.read(10))
            self.assertFalse(alive(pid_of(state, 1)))
        self.assertEqual(frame_numbers(got), [0, 1, 2, 0, 1, 0])
        self.assertEqual([(r.reason, r.device, r.attempt) for r in restarts],
                         [("device-lost", None, 1), ("default-changed", "Speakers", 1)])
        self.assertEqual(restarts[0].error.code, "DEVICE_INVALIDATED")
        with self.assertRaises(BrisvaneError) as caught:  # any other failure ends it
            with Capture(fake("started;" + LOST, DENIED)[0], restart=True) as cap:
                list(cap)
        self.assertEqual(caught.exception.code, "ACCESS_DENIED")

    def test_asyncio(self):
        async def run():
            async with brisvane.capture_async(fake("started;frames 3;" + LOST)[0], rate=16000, channels=1,
                                              format="s16") as cap:
                frames = []
                with self.assertRaises(BrisvaneError):
                    async for frame in cap:
                        frames.append(frame)
                return frames
        self.assertEqual([len(f) for f in asyncio.run(run())], [320] * 3)


class FollowingTheDefault(unittest.TestCase):
    def test_a_new_default_restarts_the_capture_on_it_and_the_watcher_ends_with_it(self):
        watch, watch_state = fake("line default\\tA\\tSpeakers;sleep 0.5;line none;sleep 0.2;"
                                  "line default\\tA\\tSpeakers;sleep 0.2;line default\\tB\\tHeadset;hang")
        command, state = fake("started;frames 3;hang", "sleep 0.3;started;frames 2;hang")
        restarts, gaps = [], []

        async def run():
            async with brisvane.capture_async(command, follow_default=True, watch_program=watch, timeline="continuous",
                                              on_restart=restarts.append, on_gap=gaps.append) as cap:
                frames, t0 = [], time.monotonic()
                while len([n for n in frame_numbers(frames) if n is not None]) < 5 and time.monotonic() - t0 < 10:
                    frames.append(await cap.read(10))
                    devices.append(cap.device)
                return frames
        devices = []
        numbers = frame_numbers(asyncio.run(run()))
        self.assertEqual([n for n in numbers if n is not None], [0, 1, 2, 0, 1])
        self.assertEqual([(r.reason, r.device, r.attempt) for r in restarts], [("default-changed", "Headset", 1)])
        self.assertEqual([d for i, d in enumerate(devices) if d and (i == 0 or d != devices[i - 1])],
                         [Device("A", "Speakers"), Device("B", "Headset")])
        self.assertEqual(Path(state, "runs").read_text(), "2", "none, or the same device again, restarts nothing")
        self.assertGreaterEqual(sum(g.frames for g in gaps if g.reason == "restart"), 10)
        self.assertFalse(alive(pid_of(watch_state)), "the watcher outlived the capture")

    def test_a_failing_watcher_is_reported_and_the_capture_goes_on(self):
        cases = [  # watch_program, words of the failure, the watcher's report
            (None, "BRISVANE_WATCH_COMMAND", None),
            ("/nowhere/brisvane-watch.exe", "could not be started", None),
            (fake("line default\\tA\\tS;report Error: failed to write device line\\n\\nCaused by:\\n    gone (os error "
                  "232)\\n;exit 1")[0], "status 1: failed to write device line: gone (os error 232)", 1),
            (fake("line default\\tA;hang")[0], "a default line has 3 fields", None),
        ]
        for watch, words, status in cases:
            failures = []
            with self.subTest(watch=watch), mock.patch.dict(os.environ, {"BRISVANE_WATCH_COMMAND": ""}), \
                    Capture(fake("started;frames 2;sleep 0.5;frames 2;hang")[0], follow_default=True,
                            watch_program=watch, on_watch_failure=failures.append) as cap:
                self.assertEqual(frame_numbers([cap.read(5) for _ in range(4)]), [0, 1, 2, 3])
                self.assertEqual(failures, [cap.watch_failure])
                self.assertIn(words, failures[0].message)
                self.assertEqual(failures[0].error and failures[0].error.status, status)
                if cap._session.watcher:
                    self.assertIsNotNone(cap._session.watcher.process.poll(), "the watcher still runs")


class Program(unittest.TestCase):
    def test_explicit_then_override_then_bundled_else_a_clear_error(self):
        with mock.patch.dict(os.environ, {"BRISVANE_COMMAND": "wine /x/brisvane.exe"}):
            self.assertEqual(resolve("C:/a b/brisvane.exe"), ["C:/a b/brisvane.exe"])
            self.assertEqual(resolve(), ["wine", "/x/brisvane.exe"])
        with mock.patch.dict(os.environ, {"BRISVANE_COMMAND": json.dumps(["C:/a b/x.exe", "-q"])}):
            self.assertEqual(resolve(), ["C:/a b/x.exe", "-q"])
        with mock.patch.dict(os.environ, {"BRISVANE_COMMAND": FAKE}):
            self.assertEqual(resolve(), [FAKE])
        with tempfile.TemporaryDirectory() as bundle, mock.patch.dict(os.environ, {"BRISVANE_COMMAND": ""}), \
                mock.patch("brisvane._program.BUNDLED_DIR", Path(bundle)):
            Path(bundle, "brisvane.exe").touch()
            with mock.patch("sys.platform", "win32"):
                self.assertEqual(resolve(), [str(Path(bundle, "brisvane.exe"))])
            with mock.patch("sys.platform", "linux"), self.assertRaises(BrisvaneError) as caught:
                resolve()
            self.assertEqual(caught.exception.code, "UNSUPPORTED_PLATFORM")
            self.assertIn("set BRISVANE_COMMAND", str(caught.exception))


class CommandLine(unittest.TestCase):
    def test_record_writes_a_whole_wav_file_even_when_the_program_fails(self):
        out = os.path.join(tempfile.mkdtemp(), "out.wav")
        with mock.patch.dict(os.environ, {"BRISVANE_COMMAND": json.dumps(fake("started;frames 7;" + DENIED)[0])}), \
                mock.patch("sys.stderr"):
            self.assertEqual(cli(["record", out, "--rate", "16000", "--mono", "--s16"]), 1)
        with wave.open(out) as w:
            self.assertEqual((w.getnchannels(), w.getframerate(), w.getsampwidth(), w.getnframes()), (1, 16000, 2,
                                                                                                    7 * 320))

    def test_wav_turns_rf64_past_what_riff_can_count(self):
        out = os.path.join(tempfile.mkdtemp(), "out.wav")
        w = WavWriter(out, 48000, 2, "f32", limit=90 + 7680)
        for frames in (1, 2):
            w.write(array("f", [0.5] * 1920))
            w.sync()
            data = Path(out).read_bytes()
            if frames == 1:
                self.assertEqual((data[:4], data[12:16], struct.unpack_from("<I", data, 4)[0]), (b"RIFF", b"JUNK",
                                                                                              len(data) - 8))
        w.close()
        self.assertEqual((data[:4], data[12:16], data[86:90]), (b"RF64", b"ds64", b"data"))
        self.assertEqual(struct.unpack_from("<I", data, 4) + struct.unpack_from("<QQQ", data, 20),
                         (0xFFFFFFFF, len(data) - 8, 15360, 1920))
        self.assertEqual((struct.unpack_from("<I", data, 90)[0], len(data)), (0xFFFFFFFF, 94 + 15360))

    def test_doctor(self):
        for script, status, words in (("started;frames 3;hang", 0, "capture works"), (DENIED, 1, "refused access")):
            with mock.patch.dict(os.environ, {"BRISVANE_COMMAND": json.dumps(fake(script)[0])}), \
                    mock.patch("sys.stdout") as stdout:
                self.assertEqual(cli(["doctor", "--listen", "0.5"]), status)
            self.assertIn(words, "".join(c.args[0] for c in stdout.write.call_args_list))


if __name__ == "__main__":
    unittest.main()
