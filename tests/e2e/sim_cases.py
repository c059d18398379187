#!/usr/bin/env python3
"""The simulated engine's own checks: what the programs of today (brisvane.exe,
brisvane-watch.exe) and the sim's probe (tools/sim/probe) get from it, held against its log.
Usage: sim_cases.py BUILD_DIR CASE"""
import os
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "sim"))
from rig import FRAME, STARTED, check, counting, run_cases, windows_report  # noqa: E402

INVALIDATED = 0x88890004
HNS_PER_FRAME = 10 ** 7 / 48000
BASE = 1000


def probe(rig, name, scenario, args, **options):
    r = rig.run(name, scenario, exe=os.path.join(rig.build, "tools", "sim", "probe", "sim_probe.exe"),
                args=args, record=("stdout", "stderr"), timeout=120, **options)
    lines = r.stdout().decode().splitlines()
    packets = []
    for l in lines:
        if l.startswith("packet "):
            w = l.split()
            packets.append(dict({k: int(v, 16 if k == "crc" else 10) for k, v in (x.split("=") for x in w[2:])},
                                stream=int(w[1])))
    return r, lines, packets


def check_positions(log, packets):
    """Every trusted QPC position is the QPC time of the packet's first frame on the endpoint
    clock; every packet lies on the endpoint's grid of 480 frames and is made ready only once
    the endpoint has played it."""
    epoch = int(log.of("scenario")[0]["epoch"])
    for p in packets:
        check(p["pos"] % 480 == 0, "off the grid: %s" % p)
        qpc = 0 if p["flags"] & 4 else epoch + round(p["pos"] * HNS_PER_FRAME)
        check(p["qpc"] == qpc, "QPC position %s, epoch %d" % (p, epoch))
        check(p["t"] * 10 >= epoch + (p["pos"] + p["frames"]) * HNS_PER_FRAME, "ready before played: %s" % p)
    return epoch


def content(packets, base=BASE):
    return b"".join(counting((base + p["pos"]) * 8, p["frames"] * 8) for p in packets)


# --- one endpoint's clock, through brisvane.exe ---------------------------------------------------
def case_endpoint(rig):
    """Windows of every kind, a timestamp error every fifth packet, then the device unplugged:
    the program's bytes are the endpoint's at the positions the log gives, and the positions,
    flags and times are those the windows make. (A second's endpoint buffer: a program held up
    on a busy machine loses nothing.)"""
    r = rig.run("sim-endpoint", """
device = {spk} Speakers
source = counting %d
endpoint_frames = 48000
packet_flags = 0,0,0,0,4
silence = 200 260
silence = 400 460 hold
glitch = 600 15
late = 700 40
device_state = 900 {spk} unplugged
""" % BASE, ["--timeout-ms", "30000"])
    check(r.status == 1 and r.stderr == STARTED + windows_report(
        "failed to read WASAPI loopback samples", INVALIDATED, rig.message(INVALIDATED)).encode(), r.describe())
    packets = r.log.packets(1)
    want = content(packets)
    check(r.stdout() == want[:len(want) // FRAME * FRAME], "standard output is not the endpoint's frames")
    epoch = check_positions(r.log, packets)
    frames = lambda ms: ms * 48
    ms_of = lambda frame: frame / 48
    pairs = list(zip(packets, packets[1:]))
    # Nothing covers a silence; the device position jumps over the first, stands still in the held one.
    for start, end, hold in ((200, 260, False), (400, 460, True)):
        [(a, b)] = [(a, b) for a, b in pairs if a["pos"] < frames(start) <= b["pos"]]
        check(a["pos"] + 480 <= frames(start) and b["pos"] >= frames(end), "a packet covers the silence: %s %s" % (a, b))
        moved = b["dev"] - a["dev"]
        check(moved == (480 if hold else b["pos"] - a["pos"]), "device position moved %d over %s" % (moved, (a, b)))
    # The glitch loses the two packets that cover it (logged), and the next one says so.
    lost = [int(f["pos"]) for f in r.log.of("glitch")]
    check(lost == [frames(600), frames(600) + 480], "glitch lost %s" % lost)
    after = next(p for p in packets if p["pos"] > lost[-1])
    check(after["pos"] == lost[-1] + 480 and after["flags"] & 1 and
          all(not p["flags"] & 1 for p in packets if p is not after), "discontinuity flags: %s" % after)
    # Packets due within the late window come at its end.
    late = [p for p in packets if frames(700) <= p["pos"] + 480 < frames(740)]
    check(len(late) == 4 and all(p["t"] * 10 >= epoch + frames(740) * HNS_PER_FRAME for p in late), "late: %s" % late)
    # Unplugged: no packet after, and the program saw the failure behind the ready ones.
    [state] = r.log.of("device_state")
    check(all(p["t"] < int(state["t"]) + 1000 for p in packets) and packets[-1]["pos"] >= frames(800), "%s" % state)
    print("endpoint: %d packets from frame %d, %d bytes exact on standard output; silences, glitch, late window, "
          "timestamp errors and the unplugged device as written; the program's report" %
          (len(packets), packets[0]["pos"], r.stdout_size()))


# --- several streams of one endpoint, and the endpoints' states ------------------------------------
def case_streams(rig):
    """A second stream opened while the first still runs: each has its own device positions from
    0 and the endpoint's content at its own positions; what GetBuffer gives is what the log says."""
    # The probe reads one stream at a time: a second's endpoint buffer keeps the other's packets.
    scenario = "device = {spk} Speakers\ndevice = {hs} Headset\nsource = counting %d\nendpoint_frames = 48000\n" \
               "[endpoint {hs}]\nsource = counting 5000\n" % BASE
    r, lines, got = probe(rig, "sim-streams", scenario, ["endpoint", "{spk}", "400", "300"])
    check(r.status == 0 and "stop 1 hr=0x00000000" in lines and "stop 2 hr=0x00000000" in lines,
          r.describe() + "\n".join(lines[-5:]))
    streams = [r.log.packets(1), r.log.packets(2)]
    made = streams[0] + streams[1]
    check(len(got) == len(made), "%d packets read, %d made" % (len(got), len(made)))
    check_positions(r.log, made)
    starts = [int(f["pos"]) for f in r.log.of("started")]
    for k, packets in enumerate(streams):
        check(packets[0]["pos"] == starts[k] and packets[0]["dev"] == 0, "stream %d starts at %s" % (k + 1, starts))
        check(all(p["dev"] == p["pos"] - starts[k] for p in packets), "stream %d's device positions" % (k + 1))
    check(starts[1] + 2400 < streams[0][-1]["pos"], "the streams did not run at once")
    stopped = [t for t, _, _ in r.log.calls("Stop")]
    check(all(s[-1]["t"] < t for s, t in zip(streams, stopped)), "a stream made packets after Stop")
    # The packets as read are the log's of their stream, and read after the endpoint played them
    # by the program's own QueryPerformanceCounter.
    for s in (1, 2):
        for g, p in zip([g for g in got if g["stream"] == s], streams[s - 1]):
            check((g["dev"], g["qpc"], g["frames"], g["crc"]) == (p["dev"], p["qpc"], p["frames"], zlib.crc32(content([p]))),
                  "stream %d read %s, made %s" % (s, g, p))
            check(g["now"] >= p["qpc"] + p["frames"] * HNS_PER_FRAME, "read before played: %s" % g)
    # The other endpoint's section, a device that is not active, and the listing by state.
    r, lines, got = probe(rig, "sim-streams-headset", scenario, ["endpoint", "{hs}", "200"])
    check(got and all(g["crc"] == zlib.crc32(content([p], 5000)) for g, p in zip(got, r.log.packets(1))),
          "the headset's own content")
    states = scenario + "device_state = 0 {hs} unplugged\n"
    r, lines, _ = probe(rig, "sim-streams-unplugged", states, ["endpoint", "{hs}", "200"])
    check(lines == ["stream 1 hr=0x%08X" % INVALIDATED], "Activate on an unplugged device: %s" % lines)
    for mask, want in ((1, ["{spk} state=1"]), (15, ["{spk} state=1", "{hs} state=8"])):
        r, lines, _ = probe(rig, "sim-devices-%d" % mask, states, ["devices", str(mask)])
        listed = [" ".join([l.split()[3][3:], l.split()[2]]) for l in lines[1:]]
        check(lines[0] == "devices hr=0x00000000 count=%d" % len(want) and listed == want, "mask %d: %s" % (mask, lines))
    print("streams: two streams of one endpoint (%d and %d packets) each exact at its positions, read as made; "
          "per-endpoint content; Activate refused on an unplugged device; devices listed by state" %
          tuple(map(len, streams)))


def case_states(rig):
    """Device states and default changes reach the listeners in time order; brisvane-watch.exe,
    which ignores states, writes its default lines as before."""
    scenario = "device = {spk} Speakers\ndevice = {hs} Headset\ndevice_state = 0 {hs} notpresent\n" \
               "device_state = 400 {hs} active\ndefault_change = 700 {hs}\ndevice_state = 1000 {spk} disabled\n"
    r, lines, _ = probe(rig, "sim-states", scenario, ["listen", "1300"])
    check(lines == ["state id={hs} state=1", "default flow=0 role=0 id={hs}", "default flow=0 role=1 id={hs}",
                    "state id={spk} state=2"], "notifications: %s" % lines)
    exe = os.path.join(rig.build, "src", "brisvane-watch.exe")
    r = rig.run("sim-states-watch", scenario, ["--stop-after-ms", "1500"], exe=exe, record=("stdout", "stderr"))
    check(r.stdout() == b"default\t{spk}\tSpeakers\ndefault\t{hs}\tHeadset\n", "lines %r" % r.stdout())
    heard = [(f["id"], f["state"], f["listeners"]) for f in r.log.of("device_state")]
    check(heard == [("{hs}", "active", "1"), ("{spk}", "disabled", "1")], "device states: %s" % heard)
    print("states: the probe's listener heard %d notifications in order; brisvane-watch.exe wrote its two "
          "default lines" % len(lines))


# --- process loopback, through the probe ---------------------------------------------------------------
def case_process(rig):
    scenario = "[include]\nsource = counting 7000\n[exclude]\nsource = counting 9000\n"
    rows = [
        # (name, probe arguments, target ms, extra scenario, expected lines, windows)
        ("include", ["include", "700"], 400, "", None, None),
        ("exclude", ["exclude", "400"], 250, "", None, None),
        ("non-agile", ["include", "100", "non-agile"], 2000, "", ["activate hr=0x8000000E"], None),
        ("no-process", ["include", "100"], None, "", ["activate hr=0x00000000",
                                                      "completed 1 get=0x00000000 result=0x80070057"], None),
        ("refused", ["include", "100"], 2000, "activation = 0x80070005\n",
         ["activate hr=0x00000000", "completed 1 get=0x00000000 result=0x80070005"], None),
        ("never", ["include", "100", "bound", "300"], 2000, "activation = never\n",
         ["activate hr=0x00000000", "completed 0 get=0x8000000E result=0x80004005"], None),
        ("old-windows", ["include", "100"], 2000, "", ["refused build=18362"], "win10"),
    ]
    for name, args, target_ms, extra, expected, windows in rows:
        pid = "{target}" if target_ms is not None else "4000000"
        r, lines, got = probe(rig, "sim-process-" + name, scenario + extra, ["process", pid] + args,
                              target_ms=target_ms, windows=windows)
        if expected is not None:
            check(lines[1:] == expected if windows is None else lines == expected, "%s: %s" % (name, lines))
            if windows is None:
                r.log.check_released(("Enumerator",))
            print("process %s: %s" % (name, lines[-1]))
            continue
        check(lines[1:5] == ["activate hr=0x00000000", "completed 1 get=0x00000000 result=0x00000000",
                             "unsupported mix=0x80004001 supported=0x80004001 period=0x80004001 padding=0x80004001",
                             "initialize autoconvert=0x80070057 rate44100=0x88890008 ok=0x00000000 buffer=1"] and
              lines[0] == "module build=19045 export=1 same=1" and "buffer 960" in lines and "stop 1 hr=0x00000000" in lines,
              "%s: %s" % (name, lines[:6] + lines[-1:]))
        [stream] = r.log.of("stream")
        check(stream["pid"] == str(r.target_pid) and stream["mode"] == args[0], "%s: %s" % (name, stream))
        made = r.log.packets(1)
        base = 7000 if name == "include" else 9000
        check(len(got) == len(made) and all((g["dev"], g["qpc"], g["crc"]) == (0, p["qpc"], zlib.crc32(content([p], base)))
                                            for g, p in zip(got, made)), "%s: the packets read are not the ones made" % name)
        check_positions(r.log, made)
        [exited] = [int(l.split("=")[1]) // 10 for l in lines if l.startswith("target exited")]
        after = [p for p in made if p["t"] > exited + 20000]
        if name == "include":
            # The engine saw the target end, and made no packet after the probe saw it end.
            check(r.log.of("target") and not after, "include: %d packets after the target ended" % len(after))
        else:
            check(len(after) >= 5, "exclude: the stream stopped with the target")
        r.log.check_released(("Enumerator", "AudioClient", "CaptureClient", "ActivateOperation"))
        print("process %s: %d packets exact, device position 0, QPC positions on the run's clock" % (name, len(made)))


CASES = {"endpoint": case_endpoint, "streams": case_streams, "states": case_states, "process": case_process}


if __name__ == "__main__":
    sys.exit(run_cases(CASES, sys.argv))
