#!/usr/bin/env python3
"""End-to-end cases of brisvane-capture.exe: the real program under Wine, started through
launcher.exe against the simulated engine, its record stream read by a parser of this file's own
(written from docs/PROTOCOL.md) and held against what the engine made (its log).
Usage: capture_cases.py BUILD_DIR CASE"""
import os
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "sim"))
from rig import check, counting, run_cases, windows_report  # noqa: E402

STARTED = b"brisvane-capture started\n"
INVALIDATED = 0x88890004
HNS_PER_FRAME = 10 ** 7 / 48000
SPEAKERS, HEADPHONES = "{0.0.0.00000000}.{speakers}", "{0.0.0.00000000}.{headphones}"
BASES = {SPEAKERS: 1000, HEADPHONES: 3000001, "include": 7000003, "exclude": 9000005}
# Stream keys before these lines hold for every stream; the sections give each source its content.
DEVICES = """
device = %s Speakers (Simulated)
device = %s Headphones (Simulated)
[endpoint %s]
source = counting %d
[endpoint %s]
source = counting %d
[include]
source = counting %d
[exclude]
source = counting %d
""" % (SPEAKERS, HEADPHONES, SPEAKERS, BASES[SPEAKERS], HEADPHONES, BASES[HEADPHONES], BASES["include"],
       BASES["exclude"])


# --- the record stream ---------------------------------------------------------------------------
def records(data):
    """The records of a stream, each a dict with its type and its fields."""
    out, at = [], 0
    while at < len(data):
        check(at + 8 <= len(data), "a record head cut short at byte %d" % at)
        kind, size = data[at:at + 4].decode("ascii"), struct.unpack_from("<I", data, at + 4)[0]
        body = data[at + 8:at + 8 + size]
        check(size % 8 == 0 and len(body) == size, "record %s at byte %d: body of %d bytes" % (kind, at, size))
        r = {"type": kind}
        if kind == "HEAD":
            check(body[:8] == b"brisvane", "no magic")
            r.update(zip(("major", "minor", "rate", "channels", "sample_type", "per_record", "timeline", "source",
                          "pid"), struct.unpack_from("<HHIHHIHHI", body, 8)))
        elif kind == "AUDI":
            r.update(zip(("index", "qpc", "system", "flags", "count"), struct.unpack_from("<QqqII", body)))
            r["data"] = body[32:]
        elif kind == "GAP_":
            r.update(zip(("start", "length", "reason", "filled"), struct.unpack_from("<QQII", body)))
        elif kind == "DEVI":
            flags, id_size, name_size, _ = struct.unpack_from("<IIII", body)
            r.update(default=flags & 1, id=body[16:16 + id_size].decode(),
                     name=body[16 + id_size:16 + id_size + name_size].decode())
        elif kind == "REOP":
            r.update(zip(("reason", "attempt", "hresult", "delay"), struct.unpack_from("<IIII", body)))
        elif kind == "END_":
            r.update(zip(("reason", "hresult"), struct.unpack_from("<II", body)))
        out.append(r)
        at += 8 + size
    check(out and out[0]["type"] == "HEAD" and out[0]["major"] == 1, "the stream does not begin with a HEAD of version 1")
    return out


def kinds(recs):
    """The stream in short: runs of audio records as one A."""
    text = []
    for r in recs:
        t = r["type"]
        if t == "AUDI":
            if not text or text[-1] != "A":
                text.append("A")
        elif t == "DEVI":
            text.append("DEVI(%s)" % (r["id"] or "none"))
        elif t in ("REOP", "END_", "GAP_"):
            text.append("%s%d" % (t, r["reason"]))
        else:
            text.append(t)
    return " ".join(text)


def events(recs):
    """The stream without its audio and gaps."""
    return " ".join(k for k in kinds(recs).split() if k != "A" and not k.startswith("GAP_"))


def check_timeline(recs, log, base_of):
    """The continuous 48 kHz stereo f32 timeline against the engine's clock: every record lies at
    the endpoint frame its sample index says (one offset for the whole stream), follows the one
    before without a hole, and holds at each frame what the source captured then played there, or
    silence where the record says it filled. `base_of(device)` gives the counting base of the
    source a DEVI record names (None before any); until a frame of the new source shows, frames of
    the one before it may still come (a record that holds the end of one and the start of the
    next is written after the new device's record)."""
    epoch = int(log.of("scenario")[0]["epoch"])
    audio = [r for r in recs if r["type"] == "AUDI"]
    check(audio, "no audio")
    offset = round((audio[0]["qpc"] - epoch) / HNS_PER_FRAME) - audio[0]["index"]
    index, filled, bases = 0, 0, [base_of(None)]
    for r in recs:
        if r["type"] == "DEVI" and base_of(r["id"]) is not None:
            bases = [base_of(r["id"]), bases[0]]
        if r["type"] != "AUDI":
            continue
        check(r["index"] == index, "a record at %d, expected %d" % (r["index"], index))
        position = r["index"] + offset
        check(abs(r["qpc"] - (epoch + position * HNS_PER_FRAME)) <= 1,
              "record %d's capture time is not its frame's on the engine's clock" % r["index"])
        wants = [counting((base + position) * 8, r["count"] * 8) for base in bases if base is not None] or [b""]
        if r["data"] != wants[0]:
            for k in range(r["count"]):
                got = r["data"][8 * k:8 * k + 8]
                if got == bytes(8) and r["flags"] & 8:
                    filled += 1
                elif got == wants[0][8 * k:8 * k + 8]:
                    bases = bases[:1]
                else:
                    check(any(got == w[8 * k:8 * k + 8] for w in wants[1:]),
                          "frame %d holds neither what the engine played there nor filled silence" % (r["index"] + k))
        else:
            bases = bases[:1]
        index += r["count"]
    return offset, filled


def expect_stderr(r, text):
    check(r.stderr == text, "standard error %r, expected %r" % (r.stderr, text))


def run(rig, name, scenario, args=(), stop_ms=None, **options):
    """Runs the program; with stop_ms its standard input (a pipe) is closed after that long."""
    launcher = ["--timeout-ms", "60000"]
    if stop_ms is not None:
        launcher += ["--stdin-pipe-close-after-ms", str(stop_ms)]
    r = rig.run(name, scenario, launcher, exe=rig.capture_exe, args=list(args), record=("stdout", "stderr", "reads"),
                timeout=120, **options)
    r.records = records(r.stdout()) if r.stdout_size() else []
    return r


# --- cases ----------------------------------------------------------------------------------------
def case_integrity(rig):
    """As fast as it is read: every byte the engine delivered, in order, in whole records, and the
    last, shorter one at the end."""
    frames = 500000
    r = run(rig, "capture-integrity", """
source = counting
pace = fast
packet_frames = 441,480,1056
packet_flags = 0,0,1,0,4
total_frames = %d
buffer_frames = 1056
log_calls = setup
log_packets = no
""" % frames, stop_ms=4000)
    check(r.status == 0, r.describe())
    audio = [x for x in r.records if x["type"] == "AUDI"]
    got = b"".join(x["data"][:x["count"] * 8] for x in audio)
    check(got == counting(0, frames * 8), "%d bytes of audio, the engine made %d" % (len(got), frames * 8))
    check(all(x["count"] == 960 for x in audio[:-1]) and audio[-1]["count"] == frames % 960, "record sizes")
    check(events(r.records) == "HEAD DEVI(%s) END_1" % "{0.0.0.00000000}.{fake-render-endpoint}",
          "the stream: " + kinds(r.records))


def case_follow(rig):
    """The default device, followed: a lost stream reopened on the same device, then a change of
    the default taken in process (one process, no restart), with the timeline exact across both."""
    r = run(rig, "capture-follow", """
default = %s
default_change = 1500 %s
fail = GetBuffer 0x88890004 40
""" % (SPEAKERS, HEADPHONES) + DEVICES, ["--timeline", "continuous"], stop_ms=2600)
    check(r.status == 0, r.describe())
    expect_stderr(r, STARTED)
    got = kinds(r.records)
    check(events(r.records) == "HEAD DEVI(%s) REOP1 REOP2 DEVI(%s) END_1" % (SPEAKERS, HEADPHONES), "the stream: " + got)
    reopens = [x for x in r.records if x["type"] == "REOP"]
    check([(x["reason"], x["attempt"], x["hresult"], x["delay"]) for x in reopens] ==
          [(1, 1, INVALIDATED, 0), (2, 1, 0, 0)], "reopens: %s" % reopens)
    # The capture's start, before the first packet, is silence; the rest are the reopens.
    check(all(x["filled"] == 1 and x["reason"] == (1 if x["start"] == 0 else 3) for x in r.records
              if x["type"] == "GAP_"), "gaps: " + got)
    check(len(r.log.of("server")) == 1, "more than one process")
    _, filled = check_timeline(r.records, r.log, BASES.get)
    check(filled < 4800, "%d frames filled across two reopens" % filled)
    r.log.check_released(("Enumerator", "Device", "AudioClient", "CaptureClient"))


def case_device(rig):
    """A chosen device, not the default: unplugged, it is waited for and taken again when it comes
    back; in between the timeline is silence of the reason "no device"; and the listing names the
    active devices."""
    scenario = """
default = %s
device_state = 900 %s unplugged
device_state = 1700 %s active
""" % (SPEAKERS, HEADPHONES, HEADPHONES) + DEVICES
    r = run(rig, "capture-device", scenario, ["--device", HEADPHONES, "--timeline", "continuous"], stop_ms=2500)
    check(r.status == 0, r.describe())
    expect_stderr(r, STARTED)
    check(events(r.records) == "HEAD DEVI(%s) REOP1 DEVI(none) REOP3 DEVI(%s) END_1" % (HEADPHONES, HEADPHONES),
          "the stream: " + kinds(r.records))
    check(not any(x.get("default") for x in r.records if x["type"] == "DEVI"), "the chosen device is not the default")
    gaps = [x for x in r.records if x["type"] == "GAP_" and x["start"] > 0]
    check(len(gaps) == 1 and gaps[0]["reason"] == 4 and 30000 < gaps[0]["length"] < 48000,
          "the time without the device: %s" % gaps)
    check_timeline(r.records, r.log, BASES.get)

    listing = run(rig, "capture-list", scenario.replace("device_state = 900", "device_state = 0"), ["--list-devices"])
    check(listing.status == 0 and listing.stderr == b"", listing.describe())
    check([(x["type"], x.get("id"), x.get("name"), x.get("default")) for x in listing.records] ==
          [("HEAD", None, None, None), ("DEVI", SPEAKERS, "Speakers (Simulated)", 1), ("END_", None, None, None)],
          "the listing: %s" % listing.records)
    check(listing.records[0]["source"] == 5 and listing.records[-1]["reason"] == 4, "the listing's head and end")


def case_no_device(rig):
    """No output device for 10 s, then one: the capture waits without failing, the continuous
    timeline keeps time meanwhile (records keep coming), and the start line comes with the device."""
    r = run(rig, "capture-no-device", """
default = none
default_change = 10000 %s
""" % SPEAKERS + DEVICES, ["--timeline", "continuous", "--rate", "16000", "--channels", "1", "--sample-type", "s16"],
            stop_ms=11500)
    check(r.status == 0, r.describe())
    expect_stderr(r, STARTED)
    check(events(r.records) == "HEAD DEVI(none) REOP3 DEVI(%s) END_1" % SPEAKERS, "the stream: " + kinds(r.records))
    [gap] = [x for x in r.records if x["type"] == "GAP_"]
    check(gap["start"] == 0 and gap["reason"] == 4 and gap["filled"] and 155000 < gap["length"] < 165000,
          "the gap: %s" % gap)
    audio = [x for x in r.records if x["type"] == "AUDI"]
    # 20 ms apart, within a frame where the clock's silence meets the first packet's own time.
    check(all(b["index"] == a["index"] + a["count"] and abs(b["qpc"] - a["qpc"] - 200000) <= HNS_PER_FRAME
              for a, b in zip(audio, audio[1:])), "the records do not follow each other by 20 ms")
    # While there is no device the records come as the clock goes, not in one burst at the end.
    start = int(r.summary["start_us"])
    seconds = {(t - start) // 1000000 for t, _ in r.reads}
    check(set(range(2, 10)) <= seconds, "standard output was read only in the seconds %s" % sorted(seconds))


def case_app(rig):
    """One application: what its process plays, to the last byte, then a clean end when it exits;
    packets without a trusted time keep their place and are marked."""
    r = run(rig, "capture-app", "packet_flags = 0,0,0,0,0,0,4\n" + DEVICES, ["--app", "{target}"], target_ms=1500)
    check(r.status == 0, r.describe())
    expect_stderr(r, STARTED)
    check(events(r.records) == "HEAD END_2", "the stream: " + kinds(r.records))
    check(r.records[0]["source"] == 3 and r.records[0]["pid"] == r.target_pid, "the head: %s" % r.records[0])
    [activation] = [l for l in r.log.lines if "ActivateAudioInterfaceAsync" in l]
    check("pid=%d mode=0" % r.target_pid in activation, activation)
    # What the program took from the engine: everything made before the process ended (a packet
    # may be made ready after the program's last read, before the engine notices the end).
    packets = r.log.packets(1)[:sum(".ReleaseBuffer frames=" in l for l in r.log.lines)]
    ended_us = int(r.summary["target_start_us"]) + 1500 * 1000
    check(all(p["t"] > ended_us - 20000 for p in r.log.packets(1)[len(packets):]), "packets made before the end unread")
    want = b"".join(counting((BASES["include"] + p["pos"]) * 8, p["frames"] * 8) for p in packets)
    got = b"".join(x["data"][:x["count"] * 8] for x in r.records if x["type"] == "AUDI")
    check(len(packets) > 50 and got == want, "%d bytes of audio, the engine made %d" % (len(got), len(want)))
    audio = [x for x in r.records if x["type"] == "AUDI"]
    check(any(x["flags"] & 4 for x in audio) and not all(x["flags"] & 4 for x in audio), "records marked for their time")
    check(all(b["qpc"] - a["qpc"] == 200000 for a, b in zip(audio, audio[1:-1])), "capture times not 20 ms apart")


def case_all_but(rig):
    """Every application but one: the exclude stream, with the process id and the mode given."""
    r = run(rig, "capture-all-but", DEVICES, ["--all-but", "{target}", "--rate", "24000"], target_ms=30000,
            stop_ms=1200)
    check(r.status == 0, r.describe())
    check(events(r.records) == "HEAD END_1", "the stream: " + kinds(r.records))
    [activation] = [l for l in r.log.lines if "ActivateAudioInterfaceAsync" in l]
    check("pid=%d mode=1" % r.target_pid in activation, activation)
    check(r.log.of("stream")[0].get("mode") == "exclude", "the engine made no exclude stream")
    samples = sum(x["count"] for x in r.records if x["type"] == "AUDI")
    # What the program took from the engine (a packet may be made ready after its last read).
    frames = sum(int(l.split("frames=")[1].split()[0]) for l in r.log.lines if ".ReleaseBuffer frames=" in l)
    check(samples == (frames + 1) // 2, "%d samples at 24 kHz from %d frames" % (samples, frames))


def case_old_windows(rig):
    """Before Windows 10 version 2004 an application cannot be captured: a report says so."""
    r = run(rig, "capture-old-windows", DEVICES, ["--app", "{target}"], target_ms=5000, windows="win7")
    check(r.status == 1, r.describe())
    expect_stderr(r, b"Error: failed to activate process loopback\n\nCaused by:\n    capturing applications needs "
                     b"Windows 10 version 2004 (build 19041) or later; this system is build 7601\n")
    check(events(r.records) == "HEAD END_3", "the stream: " + kinds(r.records))


def case_positions(rig):
    """The engine's positions make the timeline: a silence (its device position going on, or
    standing still) and a lost stretch are filled to the frame, and a late packet adds nothing."""
    r = run(rig, "capture-positions", """
default = %s
silence = 300 500
silence = 800 1000 hold
glitch = 1200 30
late = 1400 60
""" % SPEAKERS + DEVICES, ["--timeline", "continuous"], stop_ms=1800)
    check(r.status == 0, r.describe())
    _, filled = check_timeline(r.records, r.log, BASES.get)
    gaps = [(x["reason"], x["length"]) for x in r.records if x["type"] == "GAP_" and x["start"] > 0]
    check([g[0] for g in gaps] == [1, 1, 2] and all(9000 <= g[1] <= 11000 for g in gaps[:2]) and
          1400 <= gaps[2][1] <= 2000, "the gaps: %s" % gaps)
    every = sum(x["length"] for x in r.records if x["type"] == "GAP_")
    check(filled == every, "%d frames filled for gaps of %d" % (filled, every))


def case_reopen_limit(rig):
    """A device lost for good: the attempts come with their back-off and the limit ends the capture
    with the last error; the stream says so too."""
    r = run(rig, "capture-reopen-limit", """
default = %s
fail = GetBuffer 0x88890004 20
fail = Activate 0x88890004 2
fail = Activate 0x88890004 3
""" % SPEAKERS + DEVICES, ["--reopen", "2", "--reopen-delay", "150"])
    check(r.status == 1, r.describe())
    reopens = [(x["reason"], x["attempt"], x["hresult"], x["delay"]) for x in r.records if x["type"] == "REOP"]
    check(reopens == [(1, 1, INVALIDATED, 0), (1, 2, INVALIDATED, 150)], "reopens: %s" % reopens)
    check(r.records[-1]["type"] == "END_" and r.records[-1]["reason"] == 3 and r.records[-1]["hresult"] == INVALIDATED,
          "the end: %s" % r.records[-1])
    expect_stderr(r, STARTED + windows_report("failed to create audio client", INVALIDATED,
                                              rig.message(INVALIDATED)).encode())


def case_command_line(rig):
    """A refused command line: a report and the usage, status 2, nothing on standard output."""
    r = run(rig, "capture-command-line", DEVICES, ["--rate", "44100"])
    check(r.status == 2 and r.stdout_size() == 0, r.describe())
    check(r.stderr.startswith(b"Error: invalid command line\n\nCaused by:\n    --rate: '44100' is not one of ")
          and b"\n\nUsage: brisvane-capture.exe" in r.stderr, "standard error: %r" % r.stderr)
    check(r.log.lines == [], "an audio call was made: %s" % r.log.lines[:3])


CASES = {name[5:]: f for name, f in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    sys.exit(run_cases(CASES, sys.argv))
