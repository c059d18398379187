"""The installed package (run by a fresh virtual environment's Python) with the real
brisvane-capture.exe under Wine and the simulated engine of the end-to-end rig (tools/sim/rig.py):
every source, a default change, a spell without a device, a process that exits, and frames
compared byte for byte with what the engine played (f32, 48 kHz, stereo).
usage: VENV/bin/python test_wine.py BUILD_DIR"""
import faulthandler
import os
import re
import shutil
import subprocess
import sys
import time
import unittest
import wave
from pathlib import Path

import brisvane

REPO = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(REPO / "tools" / "sim"))
from rig import EngineLog, Rig, counting, winpath  # noqa: E402

RIG = Rig(sys.argv.pop(1) if len(sys.argv) > 1 else str(REPO / "build" / "windows"))
CAPTURE = str(Path(RIG.exe).with_name("brisvane-capture.exe"))
SPEAKERS, HEADSET = "{0.0.0.00000000}.{speakers}", "{0.0.0.00000000}.{headset}"
BASES = {SPEAKERS: 0, HEADSET: 100000, "include": 300000, "exclude": 500000}  # counting bases, in frames
DEVICES = ("device = %s Speakers (Realtek(R) Audio)\ndevice = %s Headset (USB Audio)\n"
           "[endpoint %s]\nsource = counting %d\n[endpoint %s]\nsource = counting %d\n"
           "[include]\nsource = counting %d\n[exclude]\nsource = counting %d\n" %
           (SPEAKERS, HEADSET, SPEAKERS, BASES[SPEAKERS], HEADSET, BASES[HEADSET], BASES["include"], BASES["exclude"]))
BOUND = 90  # seconds for one test


def setting(name, scenario):
    """The environment of one run: its scenario and engine log, and the override command."""
    work = Path(RIG.root, "runs", "python-package-" + name)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    (work / "scenario.txt").write_text("log = %s\n" % winpath(str(work / "engine.log")) + scenario)
    env = dict(RIG.env, BRISVANE_ENGINE_SCENARIO=winpath(str(work / "scenario.txt")),
               BRISVANE_COMMAND="%s %s" % (RIG.wine_run, CAPTURE))
    os.environ["BRISVANE_COMMAND"] = env["BRISVANE_COMMAND"]  # the package finds the program there
    RIG.keep_server()  # a Wine server started by the program would hold its pipes open
    return work, env


def target(ms):
    """A Windows process that ends by itself `ms` later, and its Windows process id."""
    process = subprocess.Popen([RIG.wine_run, RIG.launcher, "--sleep", str(ms)], env=RIG.env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(50):
        listing = RIG.wine("winedbg", "--command", "info proc").stdout.decode(errors="replace")
        found = re.findall(r"^\s*=?([0-9a-f]{8}) .*'launcher\.exe'", listing, re.MULTILINE)
        if found:
            return process, int(found[-1], 16)
        time.sleep(0.1)
    raise AssertionError("the target process did not show:\n" + listing)


def record(limit=None, seconds=60, **options):
    """Captures until the end (or `limit` frames or `seconds`, then stops): the capture, its frames
    as (bytes, Timing) and its events, each with the number of frames before it."""
    frames, events = [], []
    note = lambda event: events.append((len(frames), event))  # noqa: E731
    # Wine starts a process slowly while the machine is busy: start-up is not what these measure.
    options.setdefault("start_timeout", 60)
    with brisvane.capture(on_gap=note, on_restart=note, on_device=lambda d: note(brisvane.DeviceChange(d)),
                          **options) as cap:
        deadline = time.monotonic() + seconds
        for frame in cap:
            frames.append((frame.tobytes(), cap.timing))
            assert cap.device is not None or options.get("source"), "no device while frames come"
            if len(frames) == limit or time.monotonic() > deadline:
                cap.close()
    return cap, frames, events


class RealProgram(unittest.TestCase):
    def setUp(self):
        faulthandler.dump_traceback_later(BOUND, exit=True)
        self.assertNotIn(str(REPO / "clients"), brisvane.__file__, "the package was not taken from the install")
        version = re.search(r"project\(brisvane VERSION ([0-9.]+)", (REPO / "CMakeLists.txt").read_text()).group(1)
        self.assertEqual(brisvane.__version__, version)

    def tearDown(self):
        faulthandler.cancel_dump_traceback_later()

    def assert_played(self, work, frames, events=()):
        """What each stream of the engine played, from its first packet, is in the frames, up to
        the gap where the next stream begins (on the exact timeline a gap is only reported: the
        next sample's index is its start); the indices follow each other and the timestamps
        increase with the audio."""
        data = b"".join(f for f, _ in frames)
        cuts = [e.start * 8 for _, e in events if isinstance(e, brisvane.Gap) and e.reason in ("restart", "no-device")]
        log = EngineLog(str(work / "engine.log"))
        streams = {s["id"]: s for s in log.of("stream")}
        starts = log.of("started")
        self.assertEqual(len(starts), len(cuts) + 1, log.lines[-20:])
        for first, end, start in zip([0] + cuts, cuts + [len(data)], starts):
            stream = streams[start["stream"]]
            base = BASES[stream.get("endpoint") or stream["mode"]]
            self.assertEqual(data[first:end], counting((base + int(start["pos"])) * 8, end - first), start)
        timings = [t for _, t in frames]
        self.assertEqual(timings[0].index, 0)
        for a, b in zip(timings, timings[1:]):
            self.assertEqual(b.index, a.index + a.count)
            self.assertGreater(b.qpc, a.qpc)
            self.assertGreater(b.system, a.system)

    def test_the_default_device_followed_through_a_change_and_ten_seconds_without_one(self):
        work, env = setting("default", DEVICES + "default = %s\ndefault_change = 1500 %s\n"
                            "default_change = 3000 none\ndefault_change = 13000 %s\n" % (SPEAKERS, HEADSET, HEADSET))
        cap, frames, events = record(seconds=14.5, env=env, follow_default=True)
        devices = [e.device and e.device.id for _, e in events if isinstance(e, brisvane.DeviceChange)]
        self.assertEqual(devices, [SPEAKERS, HEADSET, None, HEADSET])
        self.assertEqual([e.reason for _, e in events if isinstance(e, brisvane.Restart)],
                         ["default-changed", "device-back"])
        spell = [e for _, e in events if isinstance(e, brisvane.Gap) and e.reason == "no-device"]
        self.assertTrue(len(spell) == 1 and 9.5 < spell[0].seconds < 10.5, spell)
        self.assert_played(work, frames, events)
        self.assertEqual((cap.end_reason, cap.process.returncode), ("stopped", 0), "stopped by its input's end")
        print("default: %d frames; devices %s; %.2f s without one" % (len(frames), devices, spell[0].seconds))

    def test_a_device_by_name_and_the_device_list(self):
        work, env = setting("device", DEVICES + "default = %s\n" % SPEAKERS)
        listed = brisvane.devices(env=env, timeout=60)
        self.assertEqual([(d.id, d.name, d.default) for d in listed], [
            (SPEAKERS, "Speakers (Realtek(R) Audio)", True), (HEADSET, "Headset (USB Audio)", False)])
        cap, frames, events = record(limit=25, source={"device": "headset"}, env=env)
        self.assertIn(HEADSET, cap.command)
        self.assertEqual(events[0][1], brisvane.DeviceChange(listed[1]))
        self.assert_played(work, frames)

    def test_one_application_until_it_exits_and_all_but_one(self):
        for mode, source, ms, limit, end in (("include", "app", 2500, None, "app-exited"),
                                             ("exclude", "all_but", 8000, 25, "stopped")):
            work, env = setting(mode, DEVICES)
            process, pid = target(ms)
            cap, frames, _ = record(limit=limit, source={source: pid}, env=env)
            process.kill()
            process.wait()
            self.assertEqual(cap.end_reason, end)
            self.assertGreater(len(frames), 20)
            self.assert_played(work, frames)
            print("%s: %d frames, then %s" % (source, len(frames), end))

    def test_command_line(self):
        work, env = setting("record", DEVICES + "default = %s\n" % SPEAKERS)
        out = work / "out.wav"
        python = sys.executable
        p = subprocess.run([python, "-m", "brisvane", "record", str(out), "--seconds", "1", "--rate", "16000",
                            "--mono", "--s16", "--device", "Headset"], env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        with wave.open(str(out)) as w:
            self.assertEqual((w.getnchannels(), w.getframerate(), w.getnframes()), (1, 16000, 16000))
        p = subprocess.run([python, "-m", "brisvane", "devices"], env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(p.stdout, "* Speakers (Realtek(R) Audio)  %s\n  Headset (USB Audio)  %s\n" % (SPEAKERS, HEADSET))
        # The example: a tone at half scale until the device goes away after 2.5 s.
        work, env = setting("level", "source = tone 1000 0.5\ninvalidate_after_ms = 2500\n")
        p = subprocess.run([python, str(REPO / "examples" / "python" / "level.py")], env=env,
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 1, p.stderr)
        self.assertEqual(p.stdout.splitlines(), ["   1 s  RMS   -9.0 dBFS  peak   -6.0 dBFS",
                                                 "   2 s  RMS   -9.0 dBFS  peak   -6.0 dBFS"])
        self.assertIn("DEVICE_INVALIDATED", p.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
