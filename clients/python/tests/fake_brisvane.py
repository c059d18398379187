"""A stand-in for brisvane.exe that speaks its protocol as a script says.

usage: fake_brisvane.py STATE_DIR SCRIPT [SCRIPT ...]
Run k (counted in STATE_DIR/runs) plays SCRIPT k (the last one again after the end), a list of
steps separated by ';': `started`; `frames N` (N frames continuing the sample counter, so that
every float tells its place: ((i mod 2**20) / 2**20 - 0.5) for float i of this run); `split K`
(write in pieces of K bytes from now on); `partial N` (N bytes of the next frame, no more);
`sleep S`; `report TEXT` (on standard error, `\\n` for line feeds); `exit N`; `hang`; and as
brisvane-watch.exe, `line TEXT` (TEXT and a line feed on standard output, `\\t` for tabs)."""
import os
import struct
import sys
import time

state, scripts = sys.argv[1], sys.argv[2:]
counter = os.path.join(state, "runs")
run = int(open(counter).read()) if os.path.exists(counter) else 0
with open(counter, "w") as f:
    f.write(str(run + 1))
with open(os.path.join(state, "pid-%d" % run), "w") as f:
    f.write(str(os.getpid()))
split, index, pending = 0, 0, b""


def floats(count):
    global index
    data = struct.pack("<%df" % count, *(((index + k) % 1048576) / 1048576.0 - 0.5 for k in range(count)))
    index += count
    return data


def write(data):
    pieces = [data[i:i + split] for i in range(0, len(data), split)] if split else [data]
    for piece in pieces:
        os.write(1, piece)


for step in scripts[min(run, len(scripts) - 1)].split(";"):
    word, _, arg = step.strip().partition(" ")
    if word == "started":
        os.write(2, b"brisvane started\n")
    elif word == "frames":
        for _ in range(int(arg)):
            write(floats(1920))
    elif word == "partial":
        write(floats(1920)[:int(arg)])
    elif word == "split":
        split = int(arg)
    elif word == "sleep":
        time.sleep(float(arg))
    elif word == "line":
        os.write(1, arg.replace("\\t", "\t").encode() + b"\n")
    elif word == "report":
        os.write(2, arg.replace("\\n", "\n").encode())
    elif word == "exit":
        sys.exit(int(arg))
    elif word == "hang":
        time.sleep(3600)
    else:
        sys.exit("fake_brisvane: unknown step %r" % step)
