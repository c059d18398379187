#!/usr/bin/env python3
"""End-to-end cases: the real brisvane.exe, started through launcher.exe with pipes,
against the simulated engine server. Usage: e2e_cases.py BUILD_DIR CASE"""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "sim"))
from rig import (FRAME, STARTED, STOPPED, Failure, Rig, check, compare_counting, counting, held_tail,
                 numbered_report, packet_sizes, packets_for, single_report, windows_report)

INVALIDATED = 0x88890004
READ_FAILED = "failed to read WASAPI loopback samples"


def log(text):
    print(text, flush=True)


def invalidation_report(rig):
    return windows_report(READ_FAILED, INVALIDATED, rig.message(INVALIDATED))


def expect_exit(r, status):
    check(r.status == status, "exit status %s, expected %s: %s" % (r.status, status, r.describe()))


def stream_bytes(frames, packets):
    return 8 * sum(packet_sizes(frames, packets))


def check_stream(r, total_bytes):
    """Standard output is the counting source in order, in whole frames, the final partial
    frame (under 7680 bytes) alone missing."""
    whole = total_bytes // FRAME * FRAME
    diff = compare_counting(r.stdout_path, whole)
    check(diff is None, "standard output is not the engine's bytes: %s (engine sent %d bytes)" % (diff, total_bytes))
    return whole


# --- 1. integrity ---------------------------------------------------------------------------------
def case_integrity(rig):
    mib = int(os.environ.get("BRISVANE_E2E_INTEGRITY_MIB", "256"))
    sizes = [441, 480, 1056]
    packets = packets_for(sizes, mib << 20)
    total = stream_bytes(sizes, packets)
    scenario = """
source = counting
pace = fast
packet_frames = 441,480,1056
packet_flags = 0,2,0,1,0
packets_per_signal = 2
buffer_frames = 1056
invalidate_after_packets = %d
log_calls = setup
log_packets = no
""" % packets
    t0 = time.monotonic()
    r = rig.run("integrity", scenario)
    elapsed = time.monotonic() - t0
    expect_exit(r, 1)
    whole = check_stream(r, total)
    check(r.stderr == STARTED + invalidation_report(rig).encode(), "standard error: %r" % r.stderr)
    check(len(r.frames) == whole // FRAME, "frames file lists %d frames" % len(r.frames))
    r.log.check_released()
    s = r.log.summary()
    check(s["packets"] == packets and s["lost_packets"] == 0, "engine summary %s" % s)
    log("integrity: %d packets, %d bytes from the engine, %d bytes (%d frames) on standard output, "
        "%d-byte partial frame not written; %.1f s under Wine (%.1f MiB/s)" %
        (packets, total, whole, whole // FRAME, total - whole, elapsed, whole / elapsed / 2**20))


# --- 2. standard error ---------------------------------------------------------------------------
def case_stderr(rig):
    sizes = [441, 480, 1056]
    r = rig.run("stderr", """
source = counting
pace = realtime
packet_frames = 441,480,1056
invalidate_after_packets = 40
""")
    expect_exit(r, 1)
    check_stream(r, stream_bytes(sizes, 40))
    report = invalidation_report(rig).encode()
    check(r.stderr == STARTED + report,
          "standard error is not exactly the announcement and then the report: %r" % r.stderr)
    check(r.stderr.count(b"brisvane started") == 1, "announcement not written exactly once")
    # Ordering, causally: when the first PCM byte could be read, the whole announcement was
    # already in (or read from) the standard error pipe.
    before = int(r.summary["stderr_before_first_stdout"])
    check(before == len(STARTED),
          "when the first PCM byte arrived standard error held %d bytes, not the announcement" % before)
    started = r.log.started_us()
    first_err = int(r.summary["first_stderr_us"])
    check(started is not None and first_err >= started,
          "the announcement arrived (%s us) before the stream started (%s us)" % (first_err, started))
    # And a run ended from outside: the announcement alone.
    r2 = rig.run("stderr-stopped", """
source = tone 1000 0.5
pace = realtime
""", ["--stop-after-bytes", str(10 * FRAME)])
    expect_exit(r2, STOPPED)
    check(r2.stderr == STARTED, "standard error of a stopped run: %r" % r2.stderr)
    check(int(r2.summary["stderr_before_first_stdout"]) == len(STARTED), "ordering in the stopped run")
    log("stderr: %r then the report; announcement read %d us after Start returned" %
        (STARTED, first_err - started))


# --- 3. start-up failures ------------------------------------------------------------------------
def startup_cases(rig):
    m = rig.message
    E = "failed to open default render endpoint"
    cases = [
        # (name, scenario lines, context, code, message or None for the system's)
        ("2-cocreate", "fail = CreateInstance 0x80070005", E, 0x80070005, None),
        ("2-cocreate-error-object", "fail = CreateInstance 0x80040154\nerror_description = Class gone.\\r\\n",
         E, 0x80040154, "Class gone."),
        ("2-server-refuses", "no_such_key = 1", E, 0x80070057, None),
        ("2-null", "null = CreateInstance", E, 0, None),
        ("3-default-endpoint", "fail = GetDefaultAudioEndpoint 0x80070490", E, 0x80070490, None),
        ("3-null", "null = GetDefaultAudioEndpoint", E, 0, None),
        ("4-activate", "fail = Activate 0x88890004\nerror_description = Device lost.\\r\\n",
         "failed to create audio client", 0x88890004, "Device lost."),
        ("4-null", "null = Activate", "failed to create audio client", 0, None),
        ("5-device-period", "fail = GetDevicePeriod 0x8007000E", "failed to get WASAPI device period", 0x8007000E, None),
        ("6-initialize", "fail = Initialize 0x88890008", "failed to initialize WASAPI loopback client", 0x88890008, None),
        ("6-initialize-two-lines",
         "fail = Initialize 0x88890008\nerror_description = Format refused.\\r\\nAsk for 48 kHz.\\r\\n",
         "failed to initialize WASAPI loopback client", 0x88890008, "Format refused.\r\nAsk for 48 kHz."),
        ("7-buffer-size", "fail = GetBufferSize 0x88890001", "failed to get WASAPI buffer frame count", 0x88890001, None),
        ("8-event-handle", "fail = SetEventHandle 0x80070057", "failed to create WASAPI event handle", 0x80070057, None),
        ("9-get-service", "fail = GetService 0x80004002", "failed to get capture client", 0x80004002, None),
        ("9-null", "null = GetService", "failed to get capture client", 0, None),
        ("10-start", "fail = Start 0x8889000A\nerror_description = \\tIn use by another program. \\r\\n",
         "failed to start WASAPI stream", 0x8889000A, "\tIn use by another program."),
    ]
    return cases


def case_startup(rig):
    failures = []
    for name, lines, context, code, message in startup_cases(rig):
        r = rig.run("startup-" + name, "source = counting\npace = realtime\n" + lines + "\n")
        if message is None:
            message = rig.message(code)
        want = windows_report(context, code, message).encode()
        try:
            expect_exit(r, 1)
            check(r.stdout_size() == 0, "standard output not empty")
            check(r.stderr == want, "report:\n%r\nexpected:\n%r" % (r.stderr, want))
            if name == "2-server-refuses":
                check(any("unknown key 'no_such_key'" in l for l in r.log.lines), "no scenario error in the log")
            kinds = {"2": (), "3": ("Enumerator",), "4": ("Enumerator", "Device")}.get(
                name[0] if name[1] == "-" else name[:2], ("Enumerator", "Device", "AudioClient"))
            r.log.check_released(kinds)
            log("startup %-26s ok: %r" % (name, want.decode().splitlines()[-1]))
        except Failure as e:
            failures.append("%s: %s" % (name, e))
    check(not failures, "\n".join(failures))


# --- 4. device invalidated mid-stream --------------------------------------------------------------
def case_invalidated(rig):
    sizes = [480]
    # Pick the packet count so that the last whole frame ends in a held tail after a 0x0A.
    n = 60
    while True:
        total = stream_bytes(sizes, n)
        whole = total // FRAME
        tail = held_tail(counting((whole - 1) * FRAME, FRAME))
        if total % FRAME and tail > 0:
            break
        n += 1
    r = rig.run("invalidated", """
source = counting
pace = realtime
packet_frames = 480
invalidate_after_packets = %d
""" % n)
    expect_exit(r, 1)
    check_stream(r, total)
    check(r.stderr == STARTED + invalidation_report(rig).encode(), "standard error: %r" % r.stderr)
    inv = r.log.of("invalidated")
    check(inv, "the engine never invalidated the device")
    inv_t = int(inv[0]["t"])
    # The held tail could only come when the program ended: the last frame completed after
    # the invalidation, everything before it before the invalidation.
    last_t = r.frames[-1][1]
    check(last_t >= inv_t, "the last frame's held tail arrived before the device was invalidated")
    before = sum(b for t, b in r.reads if t < inv_t)
    check(before == whole * FRAME - tail,
          "before the invalidation %d bytes had arrived, expected %d (all but the held %d)" %
          (before, whole * FRAME - tail, tail))
    r.log.check_released()
    log("invalidated: %d packets, %d whole frames arrived, the last one's %d-byte tail after its last "
        "0x0A came at exit (%d us after the invalidation); %d bytes of a partial frame dropped" %
        (n, whole, tail, last_t - inv_t, total - whole * FRAME))


# --- 5. the reader closes its end -----------------------------------------------------------------
def case_reader_closes(rig):
    limit = 37 * FRAME + 1234
    r = rig.run("reader-closes", """
source = counting
pace = fast
packet_frames = 441,480,1056
""", ["--close-stdout-after", str(limit)], timeout=120)
    expect_exit(r, 1)
    check(r.summary["stdout_end"] == "closed" and int(r.summary["stdout_bytes"]) == limit, r.describe())
    check(r.stdout() == counting(0, limit), "the bytes read before closing are not the engine's")
    head = STARTED + b"Error: failed to write PCM frame\n\nCaused by:\n    "
    check(r.stderr.startswith(head), "standard error: %r" % r.stderr)
    cause = r.stderr[len(head):].decode()
    check(cause.endswith(")\n") and "(os error " in cause, "cause: %r" % cause)
    code = int(cause[cause.rindex("(os error ") + 10:-2])
    check(code in (109, 232), "os error %d is not a broken or closing pipe" % code)
    want = single_report("failed to write PCM frame", "%s (os error %d)" % (rig.message(code), code))
    check(r.stderr == STARTED + want.encode(), "report %r, expected %r" % (r.stderr, want))
    r.log.check_released()
    log("reader closes after %d bytes: exit 1, %r" % (limit, want.splitlines()[-1]))


# --- 6. no standard handles -------------------------------------------------------------------------
def case_no_std_handles(rig):
    no_std_handles(rig, "--no-std-handles")
    # Started without STARTF_USESTDHANDLES, detached from any console: the same.
    no_std_handles(rig, "--detached")


def no_std_handles(rig, mode):
    r = rig.run("no-std-handles" + mode, """
source = counting
pace = realtime
packet_frames = 480
""", [mode, "--stop-after-ms", "3000"])
    expect_exit(r, STOPPED)
    check(r.summary["end"] == "stopped-time", "the program did not run until it was stopped: " + r.describe())
    check(r.launcher_out == b"" and r.launcher_err == b"",
          "something was written: %r %r" % (r.launcher_out, r.launcher_err))
    released = r.log.calls("ReleaseBuffer")
    started = r.log.started_us()
    check(len(released) >= 100, "only %d packets read in 3 s" % len(released))
    check(released[-1][0] - started >= 2000000, "the program stopped reading %d us after Start" %
          (released[-1][0] - started))
    check(r.log.lines[-1] != "end", "the process ended by itself")
    log("no standard handles (%s): %d packets read in %.1f s, nothing written, ended by the test" %
        (mode, len(released), (released[-1][0] - started) / 1e6))


# --- 7. nothing playing for more than 3 s -----------------------------------------------------------
def case_gap(rig):
    gap = (1000, 4600)
    r = rig.run("gap", """
source = counting
pace = realtime
packet_frames = 480
gap = %d %d
invalidate_after_ms = 6000
""" % gap)
    expect_exit(r, 1)
    ready = r.log.of("ready")
    total = sum(int(p["frames"]) for p in ready) * 8
    check_stream(r, total)
    started = r.log.started_us()
    g0, g1 = started + gap[0] * 1000, started + gap[1] * 1000
    during = [(t, b) for t, b in r.reads if g0 + 100000 < t < g1]
    check(not during, "bytes arrived during the gap: %s" % during[:5])
    after = sum(b for t, b in r.reads if t >= g1)
    check(after >= 40 * FRAME, "only %d bytes after the gap" % after)
    made_after = sum(int(p["frames"]) * 8 for p in ready if int(p["t"]) >= g1)
    empty_reads = [t for t, name, res in r.log.calls("GetBuffer") if g0 + 100000 < t < g1]
    check(empty_reads, "the program made no read during the gap: it did not wake up from its wait")
    r.log.check_released()
    log("gap: %.1f s without packets or signals; no byte arrived in it, %d reads of an empty buffer "
        "(wait timeouts); %d bytes made and %d arrived after it" %
        ((gap[1] - gap[0]) / 1000, len(empty_reads), made_after, after))


# --- 8. backlog -----------------------------------------------------------------------------------
def one_packet_per_wakeup(sizes, per_signal, signals, endpoint_frames, stall_signals=()):
    """What a loop reading one packet per wake-up would lose: each signal makes `per_signal`
    packets ready (the oldest are overwritten once the endpoint buffer is full); signals while
    the reader is stalled, or while the event is already set, wake it once (auto-reset event)."""
    queue, lost, seq, event_set = [], 0, 0, False
    for s in range(signals):
        for _ in range(per_signal):
            f = sizes[seq % len(sizes)]
            seq += 1
            while queue and sum(queue) + f > endpoint_frames:
                lost += queue.pop(0)
            queue.append(f)
        event_set = True
        if s in stall_signals:
            continue
        if event_set:  # the wake-up: one packet
            event_set = False
            if queue:
                queue.pop(0)
    made = sum(packet_sizes(sizes, seq))
    return lost, made, sum(queue)


def case_backlog(rig):
    sizes = [441, 480, 1056]
    # a) several packets ready behind each signal
    per_signal, period = 4, 10
    signals, endpoint_a = 100, 9600  # the endpoint holds about 3.6 signals' worth
    r = rig.run("backlog-burst", """
source = counting
pace = realtime
packet_frames = 441,480,1056
period_ms = %d
packets_per_signal = %d
endpoint_frames = %d
invalidate_after_packets = %d
""" % (period, per_signal, endpoint_a, per_signal * signals))
    expect_exit(r, 1)
    total = stream_bytes(sizes, per_signal * signals)
    check_stream(r, total)
    s = r.log.summary()
    check(s["lost_packets"] == 0, "the engine overwrote %d packets" % s["lost_packets"])
    r.log.check_released()
    lost, made, left = one_packet_per_wakeup(sizes, per_signal, signals, endpoint_a)
    log("backlog a) %d packets behind each of %d signals: nothing lost, %d bytes exact. One packet per "
        "wake-up would have lost %d of %d frames (%.0f%%), %d more still queued at the end" %
        (per_signal, signals, total, lost, made, 100.0 * lost / made, left))

    # b) the reader stops for 200 ms while the engine keeps producing
    pause_at = 50 * FRAME
    endpoint = 24000  # 500 ms
    r = rig.run("backlog-pause", """
source = counting
pace = realtime
packet_frames = 480
period_ms = 10
endpoint_frames = %d
invalidate_after_ms = 2500
""" % endpoint, ["--pause", "%d:200" % pause_at])
    expect_exit(r, 1)
    ready = r.log.of("ready")
    total = sum(int(p["frames"]) for p in ready) * 8
    check_stream(r, total)
    s = r.log.summary()
    check(s["lost_packets"] == 0, "the engine overwrote %d packets" % s["lost_packets"])
    check(len(r.pauses) == 1, "the reader did not pause")
    _, p0, p1 = r.pauses[0]
    # Backlog at each read: bytes the engine had made ready by then minus bytes delivered.
    made = [(int(p["t"]), int(p["offset"]) + 8 * int(p["frames"])) for p in ready]
    delivered, backlog_at = 0, []
    for t, b in r.reads:
        delivered += b
        produced = max([m for pt, m in made if pt <= t] or [0])
        backlog_at.append((t, produced - delivered))
    steady = 2 * FRAME + 480 * 8 + 1024  # a frame being filled, one packet, a held tail
    peak = max(b for t, b in backlog_at if t >= p0)
    caught_up = next((t for t, b in backlog_at if t >= p1 and b <= steady), None)
    check(peak >= 150 * 48 * 8, "the pause built no backlog (peak %d bytes)" % peak)
    check(caught_up is not None, "the backlog was never worked off")
    worked_off_ms = (caught_up - p1) / 1000
    check(worked_off_ms <= 200, "the backlog took %.0f ms to work off" % worked_off_ms)
    r.log.check_released()
    # The same with one packet per wake-up: 20 signals fall into the stall and wake the reader once.
    n_signals = len(ready)
    stall = set(range(pause_at // (480 * 8), pause_at // (480 * 8) + 20))
    lost, made_frames, left = one_packet_per_wakeup([480], 1, n_signals, endpoint, stall)
    log("backlog b) reader paused 200 ms: backlog peaked at %d bytes (%.0f ms of audio), worked off %.0f ms "
        "after the reader came back, nothing lost. One packet per wake-up: lost %d frames but %d frames "
        "(%.0f ms) stay queued for good, a permanent extra latency; every further stall adds to it "
        "until the %d-frame endpoint buffer overflows" %
        (peak, peak / 384.0, worked_off_ms, lost, left, left / 48.0, endpoint))


# --- 9. every interface released exactly once -----------------------------------------------------
def case_release(rig):
    r = rig.run("release", """
source = counting
pace = fast
packet_frames = 441,480,1056
invalidate_after_packets = 100000
fail = GetBuffer 0x88890004 501
error_description = Device went away.\\r\\n
""")
    expect_exit(r, 1)
    check(r.stderr == STARTED + windows_report(READ_FAILED, INVALIDATED, "Device went away.").encode(),
          "standard error: %r" % r.stderr)
    seen = r.log.check_released(("Enumerator", "Device", "AudioClient", "CaptureClient", "ErrorInfo"))
    log("release: %s each released exactly once" %
        ", ".join("%s x%d" % (k, len(v)) for k, v in sorted(seen.items()) if k != "Factory"))


# --- real consumers: sox ------------------------------------------------------------------------------
def case_sox(rig):
    packets = 250  # 250 x 480 frames = 2.5 s = 960 000 bytes = 125 frames
    r = rig.run("sox", """
source = tone 1000 0.5
pace = fast
packet_frames = 480
invalidate_after_packets = %d
""" % packets)
    expect_exit(r, 1)
    size = r.stdout_size()
    check(size == 125 * FRAME, "%d bytes on standard output" % size)
    wav = os.path.join(r.work, "tone.wav")
    subprocess.run(["sox", "-t", "raw", "-r", "48000", "-e", "floating-point", "-b", "32", "-c", "2", "-L",
                    r.stdout_path, wav], check=True)
    info = subprocess.run(["sox", "--i", wav], capture_output=True, text=True, check=True).stdout
    samples = 125 * 960
    check("Sample Rate    : 48000" in info and "Channels       : 2" in info and
          ("= %d samples" % samples) in info, "sox --i:\n" + info)
    def sox_stat(*effects):
        text = subprocess.run(["sox", wav, "-n"] + list(effects) + ["stat"], capture_output=True, text=True).stderr
        values = {}
        for line in text.splitlines():
            if ":" in line:
                k, v = line.rsplit(":", 1)
                try:
                    values[k.strip()] = float(v)
                except ValueError:
                    pass
        return text, values

    stat, values = sox_stat()
    # sox's rough frequency counts the step between interleaved samples: one channel for it.
    left_stat, left = sox_stat("remix", "1")
    rms, peak, freq = values.get("RMS     amplitude"), values.get("Maximum amplitude"), left.get("Rough   frequency")
    check(rms is not None and abs(rms - 0.5 / 2 ** 0.5) < 0.002, "RMS %s, expected 0.354:\n%s" % (rms, stat))
    check(peak is not None and abs(peak - 0.5) < 0.001, "peak %s:\n%s" % (peak, stat))
    check(freq is not None and abs(freq - 1000) < 20, "rough frequency %s:\n%s" % (freq, left_stat))
    check(abs(values.get("Length (seconds)", 0) - samples / 48000) < 1e-6, "length:\n" + stat)
    log("sox: %d samples (%.2f s), RMS %.4f, peak %.4f, rough frequency %.0f Hz" %
        (samples, samples / 48000, rms, peak, freq))


CASES = {
    "setup": lambda rig: rig.setup(),
    "integrity": case_integrity,
    "stderr": case_stderr,
    "startup": case_startup,
    "invalidated": case_invalidated,
    "reader-closes": case_reader_closes,
    "no-std-handles": case_no_std_handles,
    "gap": case_gap,
    "backlog": case_backlog,
    "release": case_release,
    "sox": case_sox,
}


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        print("usage: e2e_cases.py BUILD_DIR {%s}" % ",".join(CASES), file=sys.stderr)
        return 2
    rig = Rig(sys.argv[1])
    t0 = time.monotonic()
    try:
        CASES[sys.argv[2]](rig)
    except Failure as e:
        print("FAILED %s: %s" % (sys.argv[2], e), file=sys.stderr)
        return 1
    log("%s passed in %.1f s" % (sys.argv[2], time.monotonic() - t0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
