#!/usr/bin/env python3
"""Prints the level of what the computer plays, once a second, until brisvane stops:
    python level.py
Set BRISVANE_COMMAND to start the program another way (see brisvane.py)."""
import math
import sys

import brisvane

FRAMES_PER_SECOND = brisvane.SAMPLE_RATE // (brisvane.FRAME_SAMPLES // brisvane.CHANNELS)  # 50


def dbfs(value):
    return 20 * math.log10(value) if value > 0 else -math.inf


def main():
    try:
        with brisvane.Capture() as capture:
            if capture.wait_started():
                print("brisvane started", file=sys.stderr, flush=True)
            second = count = 0
            squares = peak = 0.0
            for frame in capture:
                squares += math.fsum(v * v for v in frame)
                peak = max(peak, max(map(abs, frame)))
                count += 1
                if count == FRAMES_PER_SECOND:
                    second += 1
                    rms = math.sqrt(squares / (count * brisvane.FRAME_SAMPLES))
                    print("%4d s  RMS %6.1f dBFS  peak %6.1f dBFS" % (second, dbfs(rms), dbfs(peak)), flush=True)
                    count, squares, peak = 0, 0.0, 0.0
    except brisvane.BrisvaneError as e:
        print(e, file=sys.stderr)
        return e.status if e.status > 0 else 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
