#!/usr/bin/env python3
"""End-to-end cases of brisvane-watch.exe: started through launcher.exe with pipes, against
the simulated engine server in the e2e prefix (set up by e2e_setup).
Usage: watch_cases.py BUILD_DIR CASE"""
import re
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(ROOT, "tools", "sim"))
from rig import check, run_cases, single_report, windows_report  # noqa: E402
from watch_line import parse_watch_line  # noqa: E402

WATCH_OBJECTS = ("Enumerator", "Device", "PropertyStore")
SPEAKERS = ("{0.0.0.00000000}.{speakers}", "Speakers (Realtek(R) Audio)")
# A tab in the id; tab, line feed, backslash and carriage return in the name.
HEADSET = ("{0.0.0.00000000}.{head\tset}", "Head\tset\nsecond line \\ end\r")
HDMI = ("{0.0.0.00000000}.{hdmi}", "Écran HDMI — 音声 \U0001F3A7")


def escape(text):
    """The four escapes, the same in a scenario file and in the watcher's lines."""
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


def devices(*endpoints):
    return "".join("device = %s %s\n" % (escape(i), escape(n)) for i, n in endpoints)


def line(endpoint):
    """The line the watcher must write, as the documented format gives it."""
    if endpoint is None:
        return b"none\n"
    return ("default\t%s\t%s\n" % (escape(endpoint[0]), escape(endpoint[1]))).encode("utf-8")


def run_watch(rig, name, scenario, options=()):
    exe = os.path.join(rig.build, "src", "brisvane-watch.exe")
    return rig.run(name, scenario, ["--timeout-ms", "60000"] + list(options), timeout=120, exe=exe,
                   record=("stdout", "stderr", "reads"))


def parsed(data):
    """The lines, as the parsing rule of docs/PROTOCOL.md reads them."""
    return [parse_watch_line(line) for line in data.decode("utf-8").split("\n")[:-1]]


# --- the lines, what is ignored, and the end when the reader goes -----------------------------
def case_lines(rig):
    ids = {"spk": SPEAKERS[0], "hs": HEADSET[0], "hdmi": HDMI[0]}
    at = lambda ms, what: "%d %s" % (ms, escape(ids.get(what, what)))
    scenario = devices(SPEAKERS, HEADSET, HDMI) + "default = %s\n" % escape(SPEAKERS[0]) + "\n".join([
        "default_change = " + at(1000, "hs"),
        # Other flows and roles, and a repeat of the current default: no line.
        "notify = %d capture console %s" % (1300, escape(HDMI[0])),
        "notify = %d render multimedia %s" % (1400, escape(HDMI[0])),
        "notify = %d render communications %s" % (1500, escape(HDMI[0])),
        "notify = %d render console %s" % (1600, escape(HEADSET[0])),
        "default_change = " + at(1900, "none"),
        "default_change = " + at(2200, "hdmi"),
        # The reader has gone by then: this line's write fails.
        "default_change = " + at(2800, "spk"),
    ])
    expected = [SPEAKERS, HEADSET, None, HDMI]
    want = b"".join(line(e) for e in expected)
    r = run_watch(rig, "watch-lines", scenario, ["--close-stdout-after", str(len(want))])
    check(r.stdout() == want, "standard output %r, expected %r" % (r.stdout(), want))
    check(parsed(want) == [{"kind": "none"} if e is None else {"kind": "default", "id": e[0],
                                         "name": e[1]} for e in expected], "the parsing rule")
    # Each line was written when its change happened, not held until a later one.
    changes = [int(f["t"]) for f in r.log.of("default_change")]
    ends = [sum(len(line(e)) for e in expected[:k + 1]) for k in range(len(expected))]
    for k in range(len(expected)):
        read_at = next(t for t, total in running_totals(r.reads) if total >= ends[k])
        check(read_at < changes[k], "line %d arrived after the next change (%d us >= %d us)" % (k, read_at, changes[k]))
    # The notifications reached the watcher's listener, which was registered before the first reading.
    check(all(f["listeners"] == "1" for f in r.log.of("notify") + r.log.of("default_change")), r.describe())
    order = [name for _, name, _ in r.log.calls() if name.split(".")[1] in
             ("RegisterEndpointNotificationCallback", "GetDefaultAudioEndpoint")]
    check(order[:2] == ["Enumerator.RegisterEndpointNotificationCallback", "Enumerator.GetDefaultAudioEndpoint"],
          "registered after reading the default: %s" % order)
    # The closed reader: status 1 and the write error.
    check(r.status == 1, "exit status %s: %s" % (r.status, r.describe()))
    found = re.search(rb"\(os error (\d+)\)\n$", r.stderr)
    code = int(found.group(1)) if found else 0
    check(code in (109, 232), "no broken-pipe error in the report: %r" % r.stderr)
    report = single_report("failed to write device line", "%s (os error %d)" % (rig.message(code), code))
    check(r.stderr == report.encode(), "standard error %r, expected %r" % (r.stderr, report))
    r.log.check_released(WATCH_OBJECTS)
    print("watch lines: %d lines exact, other flows and roles ignored, reader gone -> %r" %
          (len(expected), report.splitlines()[-1].strip()), flush=True)


def running_totals(reads):
    total = 0
    for t, n in reads:
        total += n
        yield t, total


# --- failures of platform calls --------------------------------------------------------------
def case_failures(rig):
    spk = escape(SPEAKERS[0])
    rows = [
        # (name, scenario, standard output, context, code, message or None for the system's)
        ("register", "fail = RegisterEndpointNotificationCallback 0x80070005", b"",
         "failed to register for endpoint notifications", 0x80070005, None),
        ("first-reading", "fail = GetDefaultAudioEndpoint 0x88890004", b"",
         "failed to read default render endpoint", 0x88890004, None),
        ("new-default", devices(SPEAKERS) + "default = none\ndefault_change = 800 %s\n"
         "fail = OpenPropertyStore 0x88890004\nerror_description = Device lost.\\r\\n" % spk, b"none\n",
         "failed to read new default render endpoint", 0x88890004, "Device lost."),
    ]
    for name, scenario, stdout, context, code, message in rows:
        r = run_watch(rig, "watch-fail-" + name, scenario)
        report = windows_report(context, code, message or rig.message(code))
        check(r.status == 1 and r.stdout() == stdout and r.stderr == report.encode(),
              "%s: status %s, stdout %r, stderr %r, expected %r" % (name, r.status, r.stdout(), r.stderr, report))
        r.log.check_released(WATCH_OBJECTS[:1])
        print("watch failure %s: %r" % (name, context), flush=True)


CASES = {"lines": case_lines, "failures": case_failures}


if __name__ == "__main__":
    sys.exit(run_cases(CASES, sys.argv))
