#!/usr/bin/env python3
"""Prints the level of what the computer plays, once a second, until brisvane stops:
    python level.py
with the brisvane package installed (its wheel, from the release). Set BRISVANE_COMMAND to
start the program another way."""
import math
import sys

import brisvane


def dbfs(value):
    return 20 * math.log10(value) if value > 0 else -math.inf


def main():
    try:
        with brisvane.capture() as capture:
            print("brisvane started", file=sys.stderr, flush=True)
            second = count = 0
            squares = peak = 0.0
            for frame in capture:  # array('f'): 960 sample frames of left, right (20 ms)
                squares += math.fsum(v * v for v in frame)
                peak = max(peak, max(map(abs, frame)))
                count += 1
                if count == 50:
                    second += 1
                    rms = math.sqrt(squares / (count * len(frame)))
                    print("%4d s  RMS %6.1f dBFS  peak %6.1f dBFS" % (second, dbfs(rms), dbfs(peak)), flush=True)
                    count, squares, peak = 0, 0.0, 0.0
    except brisvane.BrisvaneError as e:
        print("%s [%s]" % (e, e.code or "no code"), file=sys.stderr)
        return e.status if e.status and e.status > 0 else 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
