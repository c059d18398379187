"""A stand-in for brisvane-capture.exe that plays the steps of one case of
clients/behaviour-cases.json (the case's `program`, or its `listDevices` when asked for the
device list) and notes its arguments and process id.

usage: fake_capture.py STATE_DIR [ARGUMENT ...]   (STATE_DIR/case.json holds the case)"""
import json
import os
import struct
import sys
import time

TYPES = {"f32": 1, "s16": 2}
TIMELINES = {"exact": 1, "continuous": 2}

state, args = sys.argv[1], sys.argv[2:]
with open(os.path.join(state, "case.json"), encoding="utf-8") as f:
    case = json.load(f)
runs = len([n for n in os.listdir(state) if n.startswith("run-")])
with open(os.path.join(state, "run-%d.json" % runs), "w") as f:
    json.dump({"pid": os.getpid(), "args": args}, f)
head = {"rate": 48000, "channels": 2, "sampleType": "f32"}
split = 0


def number(value):
    return int(value, 16) if isinstance(value, str) else value


def samples(step, index, count):
    width = head["channels"]
    if step.get("pattern") == "zero":
        return bytes(count * width * (4 if head["sampleType"] == "f32" else 2))
    first = index * width
    if head["sampleType"] == "f32":
        return struct.pack("<%df" % (count * width), *((n % 1048576) / 1048576 - 0.5
                                                        for n in range(first, first + count * width)))
    return struct.pack("<%dh" % (count * width), *((n % 65536) - 32768 for n in range(first, first + count * width)))


def bodies(step):
    """The bodies of the record `step` describes (several for a repeated AUDI)."""
    kind = step["record"]
    if kind == "HEAD":
        head.update(step)
        rate = head["rate"]
        yield (b"brisvane" + struct.pack("<HHIHHIHHI", step.get("major", 1), step.get("minor", 0), rate,
                                         head["channels"], TYPES[head["sampleType"]],
                                         step.get("samplesPerRecord", rate // 50),
                                         TIMELINES[step.get("timeline", "exact")], step.get("source", 1),
                                         step.get("pid", 0)))
    elif kind == "AUDI":
        index, qpc, system, count = step["index"], step["qpc"], step["system"], step["count"]
        for _ in range(step.get("repeat", 1)):
            yield struct.pack("<QqqII", index, qpc, system, step["flags"], count) + samples(step, index, count)
            index += count
            qpc += count * 10 ** 7 // head["rate"]
            system += count * 10 ** 7 // head["rate"]
    elif kind == "GAP_":
        yield struct.pack("<QQII", step["start"], step["length"], step["reason"], step["flags"])
    elif kind == "DEVI":
        id_, name = step["id"].encode(), step["name"].encode()
        yield struct.pack("<IIII", step["flags"], len(id_), len(name), 0) + id_ + name
    elif kind == "REOP":
        yield struct.pack("<IIII", step["reason"], step["attempt"], number(step["hresult"]), step["delayMs"])
    elif kind == "END_":
        yield struct.pack("<II", step["reason"], number(step["hresult"]))
    else:
        yield bytes(step["size"])


def write(data):
    for at in range(0, len(data), split or len(data) or 1):
        os.write(1, data[at:at + (split or len(data))])


for step in case["listDevices" if "--list-devices" in args else "program"]:
    if "record" in step:
        for body in bodies(step):
            body += bytes(step.get("extra", 0) + -(len(body) + step.get("extra", 0)) % 8)
            record = step["record"].encode("ascii") + struct.pack("<I", step.get("size", len(body))) + body
            write(record[:step.get("cut", len(record))])
    elif "stderr" in step:
        os.write(2, step["stderr"].encode())
    elif "sleepMs" in step:
        time.sleep(step["sleepMs"] / 1000)
    elif "split" in step:
        split = step["split"]
    elif "waitStdinEnd" in step:
        while os.read(0, 4096):
            pass
    elif "hang" in step:
        time.sleep(3600)
    elif "exit" in step:
        sys.exit(step["exit"])
    else:
        sys.exit("fake_capture: unknown step %r" % (step,))
