"""The installed package (run by a fresh virtual environment's Python) with the real brisvane.exe
under Wine and the simulated engine of the end-to-end rig (tools/sim/rig.py).
usage: VENV/bin/python test_wine.py BUILD_DIR"""
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import unittest
import wave
from array import array
from pathlib import Path

import brisvane

REPO = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(REPO / "tools" / "sim"))
from rig import EngineLog, Rig, counting, winpath  # noqa: E402

RIG = Rig(sys.argv.pop(1) if len(sys.argv) > 1 else str(REPO / "build" / "windows"))
# A 1000 Hz tone at half scale in packets of changing size, as fast as it is read, until the device
# goes away after 180 packets: 118 620 sample frames, 123 whole frames.
TONE = "source = tone 1000 0.5\npace = fast\npacket_frames = 441,480,1056\ninvalidate_after_packets = 180\n"
WHOLE_FRAMES = 60 * (441 + 480 + 1056) // 960
REALTIME = "source = tone 1000 0.5\npace = realtime\npacket_frames = 480\n"


def tone(frames):
    """The engine's tone, interleaved, as its float32 samples."""
    values = array("f")
    for n in range(frames):
        v = 0.5 * math.sin(2 * math.pi * 1000.0 * n / 48000.0)
        values.extend((v, v))
    return values


def setting(name, scenario):
    """The environment of one run: its scenario and engine log, and the override command."""
    work = Path(RIG.root, "runs", "python-package-" + name)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    (work / "scenario.txt").write_text(scenario + "log = %s\n" % winpath(str(work / "engine.log")))
    env = dict(RIG.env, BRISVANE_ENGINE_SCENARIO=winpath(str(work / "scenario.txt")),
               BRISVANE_COMMAND="%s %s" % (RIG.wine_run, RIG.exe),
               BRISVANE_WATCH_COMMAND="%s %s" % (RIG.wine_run, Path(RIG.exe).with_name("brisvane-watch.exe")))
    for name in ("BRISVANE_COMMAND", "BRISVANE_WATCH_COMMAND"):
        os.environ[name] = env[name]  # the package finds the programs there
    RIG.keep_server()  # a Wine server started by the program would hold its pipes open
    return work, env


def packets(work):
    return len(EngineLog(str(work / "engine.log")).of("ready"))


class RealProgram(unittest.TestCase):
    def setUp(self):
        self.assertNotIn(str(REPO / "clients"), brisvane.__file__, "the package was not taken from the install")
        version = re.search(r"project\(brisvane VERSION ([0-9.]+)", (REPO / "CMakeLists.txt").read_text()).group(1)
        self.assertEqual(brisvane.__version__, version)

    def test_frames_as_played_then_the_device_loss_in_every_format(self):
        want = tone(WHOLE_FRAMES * 960)
        converter = brisvane.Converter(16000, 1, "s16")
        want_16k = [v for i in range(WHOLE_FRAMES) for v in converter.frame(want[i * 1920:(i + 1) * 1920].tobytes())]
        runs = [("f32", {}, want, 1e-7), ("16k", dict(rate=16000, channels=1, format="s16"), want_16k, 0)]
        if brisvane.numpy_module() is not None:
            runs.append(("16k-numpy", dict(rate=16000, channels=1, format="s16", numpy=True), want_16k, 1))
        for name, options, expected, tolerance in runs:
            work, env = setting(name, TONE)
            got = array("f" if name == "f32" else "h")
            with brisvane.capture(env=env, **options) as cap, self.assertRaises(brisvane.BrisvaneError) as caught:
                for frame in cap:
                    got.extend(frame.reshape(-1).tolist() if options.get("numpy") else frame)
            e = caught.exception
            self.assertEqual((e.status, e.context, e.code), (1, "failed to read WASAPI loopback samples",
                                                             "DEVICE_INVALIDATED"))
            self.assertEqual(len(got), len(expected))
            worst = max(abs(a - b) for a, b in zip(got, expected))
            self.assertLessEqual(worst, tolerance, name)
            print("%s: %d samples as the engine played them (largest difference %g), then %s" %
                  (name, len(got), worst, e.code))

    def test_start_failure(self):
        work, env = setting("startup", "fail = Initialize 0x88890008\n")
        with self.assertRaises(brisvane.BrisvaneError) as caught:
            brisvane.Capture(env=env).start()
        e = caught.exception
        self.assertEqual((e.status, e.context, e.code, e.hresult), (1, "failed to initialize WASAPI loopback client",
                                                                    "UNSUPPORTED_FORMAT", 0x88890008))

    def test_restart_after_device_loss_on_a_continuous_timeline_and_the_end(self):
        work, env = setting("restart", REALTIME + "invalidate_after_ms = 400\n")
        restarts, gaps = [], []
        with brisvane.capture(env=env, restart=True, timeline="continuous", on_restart=restarts.append,
                              on_gap=gaps.append) as cap:
            t0 = time.monotonic()
            frames = 0
            while len(restarts) < 2 and time.monotonic() - t0 < 30:
                frames += cap.read(1) is not None
        self.assertEqual([(r.reason, r.error.code) for r in restarts], [("device-lost", "DEVICE_INVALIDATED")] * 2)
        count = packets(work)
        time.sleep(0.3)
        self.assertEqual(packets(work), count, "the program still runs after the with block")
        print("restart: %d frames, %d restarts, %.2f s filled" % (frames, len(restarts), sum(g.seconds for g in gaps)))

    def test_a_new_default_device_restarts_the_capture_on_it(self):
        speakers, headset = ("{0.0.0.00000000}.{speakers}", "Speakers (Realtek(R) Audio)"), \
            ("{0.0.0.00000000}.{headset}", "Headset (USB Audio)")
        work, env = setting("follow", "source = counting\npace = realtime\npacket_frames = 480\n" +
                            "".join("device = %s %s\n" % d for d in (speakers, headset)) +
                            "default = %s\ndefault_change = 1500 %s\n" % (speakers[0], headset[0]))
        restarts, seen, after = [], [], []
        with brisvane.capture(env=env, follow_default=True, timeline="continuous", on_restart=restarts.append) as cap:
            t0 = time.monotonic()
            while len(after) < 10 and time.monotonic() - t0 < 30:
                frame = cap.read(1)
                seen.append(cap.device)
                if restarts and frame is not None and any(frame):
                    after.append(frame.tobytes())
            watcher = cap._session.watcher
        self.assertEqual([(r.reason, r.device) for r in restarts], [("default-changed", headset[1])])
        changes = [(d.id, d.name) for i, d in enumerate(seen) if d and (i == 0 or d != seen[i - 1])]
        self.assertEqual(changes, [speakers, headset])
        # The stream after the restart is a new capture's from its first byte, started after the change
        # (so on the new default: the engine gives each start the default of that moment).
        self.assertEqual(b"".join(after), counting(0, 10 * 7680))
        log = EngineLog(str(work / "engine.log"))
        self.assertLess(int(log.of("default_change")[0]["t"]), int(log.of("started")[-1]["t"]))
        self.assertIsNotNone(watcher.process.poll(), "the watcher outlived the capture")
        print("follow: restarted on %r, %d frames after it exact" % (restarts[0].device, len(after)))

    def test_command_line_and_example(self):
        python = sys.executable
        work, env = setting("record", REALTIME)
        out = work / "out.wav"
        p = subprocess.run([python, "-m", "brisvane", "record", str(out), "--seconds", "1", "--rate", "16000",
                            "--mono", "--s16"], env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        with wave.open(str(out)) as w:
            self.assertEqual((w.getnchannels(), w.getframerate(), w.getnframes()), (1, 16000, 16000))
            samples = struct.unpack("<16000h", w.readframes(16000))
        frames = [samples[i:i + 320] for i in range(320, 16000, 320) if any(samples[i:i + 320])]
        rms = math.sqrt(math.fsum(v * v for f in frames for v in f) / (320 * len(frames)))
        self.assertLessEqual(abs(rms / (16384 / math.sqrt(2)) - 1), 0.002, rms)  # the tone at half scale
        work, env = setting("doctor", REALTIME)
        p = subprocess.run([python, "-m", "brisvane", "doctor", "--listen", "1"], env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertIn("capture works", p.stdout)
        self.assertIn("The default output device: Speakers (Simulated Audio Engine) (id {0.0.0.00000000}"
                      ".{fake-render-endpoint}).", p.stdout)
        work, env = setting("level", TONE)
        p = subprocess.run([python, str(REPO / "examples" / "python" / "level.py")], env=env,
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 1, p.stderr)
        self.assertEqual(p.stdout.splitlines(), ["   1 s  RMS   -9.0 dBFS  peak   -6.0 dBFS",
                                                 "   2 s  RMS   -9.0 dBFS  peak   -6.0 dBFS"])
        self.assertIn("DEVICE_INVALIDATED", p.stderr)
        print("record, doctor, level.py: " + " | ".join(p.stdout.splitlines()))


if __name__ == "__main__":
    unittest.main(verbosity=2)
