"""What only the Python package has, beside the shared cases (test_cases.py): where the program
is found, NumPy frames and the timed view, asyncio, collection, the command line, the WAV file."""
import asyncio
import gc
import json
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import wave
from array import array
from pathlib import Path
from unittest import mock

import brisvane
from brisvane.__main__ import main as cli
from brisvane._program import resolve
from brisvane._wav import WavWriter
from test_cases import Bounded, alive, fake, runs

HEAD16 = {"record": "HEAD", "rate": 16000, "channels": 1, "sampleType": "s16"}
STARTED = {"stderr": "brisvane-capture started\n"}
DENIED = [{"record": "END_", "reason": 3, "hresult": "0x80070005"},
          {"stderr": "Error: failed to read WASAPI loopback samples\n\nCaused by:\n    0x80070005\n"}, {"exit": 1}]


def audio(index, count, repeat=1, flags=0):
    return {"record": "AUDI", "index": index, "qpc": 10 ** 9 + index * 625, "system": index * 625, "flags": flags,
            "count": count, "repeat": repeat}


def program(*steps, devices=()):
    return fake({"program": list(steps), "listDevices": [{"record": "HEAD", "source": 5}] + [
        {"record": "DEVI", "flags": 0, "id": "{%s}" % name, "name": name} for name in devices] + [
        {"record": "END_", "reason": 4, "hresult": 0}, {"exit": 0}]})


class Program(unittest.TestCase):
    def test_explicit_then_override_then_bundled_else_a_clear_error(self):
        with mock.patch.dict(os.environ, {"BRISVANE_COMMAND": "wine /x/brisvane-capture.exe"}):
            self.assertEqual(resolve("C:/a b/brisvane-capture.exe"), ["C:/a b/brisvane-capture.exe"])
            self.assertEqual(resolve(), ["wine", "/x/brisvane-capture.exe"])
        with mock.patch.dict(os.environ, {"BRISVANE_COMMAND": json.dumps(["C:/a b/x.exe", "-q"])}):
            self.assertEqual(resolve(), ["C:/a b/x.exe", "-q"])
        with tempfile.TemporaryDirectory() as bundle, mock.patch.dict(os.environ, {"BRISVANE_COMMAND": ""}), \
                mock.patch("brisvane._program.BUNDLED_DIR", Path(bundle)):
            Path(bundle, "brisvane-capture.exe").touch()
            with mock.patch("sys.platform", "win32"):
                self.assertEqual(resolve(), [str(Path(bundle, "brisvane-capture.exe"))])
            for platform, code in (("linux", "UNSUPPORTED_PLATFORM"), ("win32", "PROGRAM_NOT_FOUND")):
                Path(bundle, "brisvane-capture.exe").unlink(missing_ok=True)
                with mock.patch("sys.platform", platform), self.assertRaises(brisvane.BrisvaneError) as caught:
                    resolve()
                self.assertEqual(caught.exception.code, code)
                self.assertIn("set BRISVANE_COMMAND", str(caught.exception))


class Frames(Bounded):
    def test_numpy_frames_and_the_timed_view(self):
        numpy = brisvane.numpy_module()
        for use_numpy in [False] + ([True] if numpy else []):
            command, _ = program(HEAD16, STARTED, audio(0, 320, 2), {"record": "END_", "reason": 1, "hresult": 0})
            with brisvane.capture(command, rate=16000, channels=1, format="s16", numpy=use_numpy) as cap:
                got = list(cap.frames(timed=True))
            self.assertEqual([t.index for _, t in got], [0, 320])
            frame, timing = got[1]
            self.assertEqual((timing.qpc, timing.time, int(frame[0]), int(frame[-1])),
                             (10 ** 9 + 200000, 0.02, -32448, -32129))
            if use_numpy:
                self.assertEqual((frame.shape, frame.dtype.name, frame.flags.writeable), ((320, 1), "int16", True))
            else:
                self.assertEqual(frame.typecode, "h")

    def test_asyncio(self):
        command, _ = program(HEAD16, STARTED, audio(0, 320, 3), *DENIED)

        async def run():
            frames = []
            async with brisvane.capture_async(command, rate=16000, channels=1, format="s16") as cap:
                with self.assertRaises(brisvane.BrisvaneError) as caught:
                    async for frame in cap:
                        frames.append((frame, cap.timing.index))
            return frames, caught.exception
        frames, error = asyncio.run(run())
        self.assertEqual(([len(f) for f, _ in frames], [i for _, i in frames], error.code),
                         ([320] * 3, [0, 320, 640], "ACCESS_DENIED"))

    def test_a_consumer_that_pauses_loses_the_oldest_frames_then_reads_the_pipe_itself_again(self):
        steps = [step for n in range(400) for step in (audio(n * 960, 960), {"sleepMs": 5})]
        command, _ = program({"record": "HEAD"}, STARTED, *steps, {"record": "END_", "reason": 1, "hresult": 0})
        readers, os_read = [], os.read

        def read(fd, size):
            readers.append(threading.current_thread() is threading.main_thread())
            return os_read(fd, size)
        indices, dropped = [], []
        with mock.patch("os.read", read), brisvane.capture(command, queue_frames=10, on_drop=dropped.append) as cap:
            for _ in cap:
                indices.append(cap.timing.index // 960)
                if len(indices) == 5:
                    time.sleep(brisvane._capture.STANDBY * 3)  # the program goes on writing meanwhile
                    resumed = len(readers)
        self.assertEqual(indices, sorted(indices))
        self.assertEqual((indices[-1] + 1 - len(indices), sum(d.frames for d in dropped)),
                         (cap.dropped, cap.dropped))
        self.assertGreater(cap.dropped, 0, "nobody drained the pipe while the consumer paused")
        self.assertTrue(any(readers[resumed:]), "the consumer never read the pipe itself again")

    def test_reads_time_out_and_collection_ends_the_program(self):
        command, state = program({"record": "HEAD"}, STARTED, audio(0, 960), {"waitStdinEnd": True},
                                 {"record": "END_", "reason": 1, "hresult": 0}, {"exit": 0})
        cap = brisvane.Capture(command).start()
        self.assertEqual(len(cap.read(5)), 1920)
        t0 = time.monotonic()
        self.assertIsNone(cap.read(0.3))
        self.assertGreaterEqual(time.monotonic() - t0, 0.29)
        del cap
        gc.collect()
        pid = runs(state)[0]["pid"]
        for _ in range(50):
            if not alive(pid):
                break
            time.sleep(0.05)
        self.assertFalse(alive(pid), "the program outlived the collected capture")


class CommandLine(Bounded):
    def run_cli(self, command, *argv):
        with mock.patch.dict(os.environ, {"BRISVANE_COMMAND": json.dumps(command)}), \
                mock.patch("sys.stderr"), mock.patch("sys.stdout") as stdout:
            status = cli(list(argv))
        return status, "".join(c.args[0] for c in stdout.write.call_args_list)

    def test_record_writes_a_whole_wav_file_even_when_the_program_fails(self):
        out = os.path.join(tempfile.mkdtemp(), "out.wav")
        command, state = program(HEAD16, STARTED, audio(0, 320, 7), *DENIED, devices=["Speakers", "Headset (USB)"])
        self.assertEqual(self.run_cli(command, "record", out, "--rate", "16000", "--mono", "--s16", "--device",
                                      "headset")[0], 1)
        with wave.open(out) as w:
            self.assertEqual((w.getnchannels(), w.getframerate(), w.getsampwidth(), w.getnframes()),
                             (1, 16000, 2, 7 * 320))
        self.assertEqual(runs(state)[1]["args"][:2], ["--device", "{Headset (USB)}"])
        command, state = program({"record": "HEAD", "source": 3}, STARTED, audio(0, 960, 2),
                                 {"record": "END_", "reason": 2, "hresult": 0}, {"exit": 0})
        self.assertEqual(self.run_cli(command, "record", out, "--app", "4242")[0], 0)
        self.assertEqual(runs(state)[0]["args"][:2], ["--app", "4242"])

    def test_devices_and_doctor(self):
        command, _ = program(devices=["Speakers", "Headset"])
        self.assertEqual(self.run_cli(command, "devices"), (0, "  Speakers  {Speakers}\n  Headset  {Headset}\n"))
        device = {"record": "DEVI", "flags": 1, "id": "{a}", "name": "Speakers"}
        for steps, status, words in (([{"record": "HEAD"}, device, STARTED, audio(0, 960, 3), {"waitStdinEnd": True}],
                                      0, "capture works"), ([{"record": "HEAD"}] + DENIED, 1, "refused access")):
            got = self.run_cli(program(*steps)[0], "doctor", "--listen", "0.5")
            self.assertEqual(got[0], status, got[1])
            self.assertIn(words, got[1])

    def test_the_readmes_examples_run_as_pasted(self):
        command, _ = program(HEAD16, STARTED, audio(0, 320, 3), {"record": "END_", "reason": 1, "hresult": 0})
        for readme in (Path(__file__).parents[1] / "README.md", Path(__file__).parents[3] / "README.md"):
            example = readme.read_text(encoding="utf-8").split("```python\n")[1].split("```")[0]
            with mock.patch.dict(os.environ, {"BRISVANE_COMMAND": json.dumps(command)}):
                done = subprocess.run([sys.executable, "-c", example], capture_output=True, text=True, timeout=30)
            self.assertEqual((done.returncode, done.stdout.splitlines()[-1:]), (0, ["320 640 0.04"])
                             if "frames(timeout" in example else (0, ["640 1000400000 320"]), done.stderr)

    def test_wav_turns_rf64_past_what_riff_can_count(self):
        out = os.path.join(tempfile.mkdtemp(), "out.wav")
        w = WavWriter(out, 48000, 2, "f32", limit=90 + 7680)
        for frames in (1, 2):
            w.write(array("f", [0.5] * 1920))
            w.sync()
            data = Path(out).read_bytes()
            if frames == 1:
                self.assertEqual((data[:4], data[12:16], struct.unpack_from("<I", data, 4)[0]),
                                 (b"RIFF", b"JUNK", len(data) - 8))
        w.close()
        self.assertEqual((data[:4], data[12:16], data[86:90]), (b"RF64", b"ds64", b"data"))
        self.assertEqual(struct.unpack_from("<I", data, 4) + struct.unpack_from("<QQQ", data, 20),
                         (0xFFFFFFFF, len(data) - 8, 15360, 1920))
        self.assertEqual((struct.unpack_from("<I", data, 90)[0], len(data)), (0xFFFFFFFF, 94 + 15360))


if __name__ == "__main__":
    unittest.main()
