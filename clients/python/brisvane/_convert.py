"""Output formats: sample type, rate and channels, from brisvane's 48 kHz stereo float.

Lower rates come from a stateful polyphase FIR decimator whose taps are a Kaiser-windowed
sinc: flat to 0.1 dB up to 0.45 of the output rate, and at least 80 dB down from 0.55 of the
output rate on (everything there would fold back into the passband). It computes only the
samples it keeps, keeps the last taps-1 inputs between calls, so its output does not depend on
how the input is cut, and gives exactly ceil(n / factor) samples for n inputs. NumPy does the
arithmetic when it is there and asked for; plain Python otherwise."""
from __future__ import annotations

import math
import sys
from array import array
from itertools import accumulate
from operator import add, sub
from typing import Any, List, Optional, Sequence

INPUT_RATE = 48000
INPUT_CHANNELS = 2
FRAME_BYTES = 7680
FRAME_SAMPLES = FRAME_BYTES // 8  # sample frames in one of brisvane's frames: 960 (20 ms)
FORMATS = ("f32", "s16")
# 48000 divided by the factors up to 12 that divide a frame's 960 sample frames, so that every
# frame gives a whole number of samples.
RATES = tuple(INPUT_RATE // f for f in range(1, 13) if FRAME_SAMPLES % f == 0)
ATTENUATION_DB = 86.0  # designed; the measured figure is above 80 dB with this margin
TRANSITION = 0.1       # 0.45 .. 0.55 of the output rate


def _bessel_i0(x: float) -> float:
    total, term, k = 1.0, 1.0, 1
    while term > 1e-17 * total:
        term *= (x / (2 * k)) ** 2
        total += term
        k += 1
    return total


def design_taps(factor: int) -> List[float]:
    """Low-pass taps for decimation by `factor`, cut-off half the output rate, unit gain at DC,
    odd length and symmetric (a whole-sample delay)."""
    if factor == 1:
        return [1.0]
    width = TRANSITION / factor  # cycles per input sample
    count = int(math.ceil((ATTENUATION_DB - 7.95) / (2.285 * 2 * math.pi * width))) + 1
    count += 1 - count % 2
    beta = 0.1102 * (ATTENUATION_DB - 8.7)
    cutoff = 0.5 / factor
    middle = (count - 1) / 2
    taps = []
    for i in range(count):
        t = i - middle
        sinc = 2 * cutoff if t == 0 else math.sin(2 * math.pi * cutoff * t) / (math.pi * t)
        window = _bessel_i0(beta * math.sqrt(1 - (t / middle) ** 2)) / _bessel_i0(beta)
        taps.append(sinc * window)
    total = math.fsum(taps)
    return [v / total for v in taps]


def numpy_module() -> Optional[Any]:
    try:
        import numpy
    except ImportError:
        return None
    return numpy


class Decimator:
    """Decimation by an integer `factor` of interleaved samples with `channels` channels.
    `process` takes any number of whole sample frames (a sequence of floats, or a NumPy array
    when use_numpy) and returns the output so far: a list of floats, or a float64 NumPy array.
    `gain` scales the output (folded into the taps)."""

    def __init__(self, factor: int, channels: int = 1, use_numpy: bool = False, gain: float = 1.0):
        if factor < 1:
            raise ValueError("the decimation factor must be 1 or more")
        self.factor, self.channels = factor, channels
        self.taps = [v * gain for v in design_taps(factor)]
        self._np = numpy_module() if use_numpy else None
        if use_numpy and self._np is None:
            raise ImportError("NumPy is not installed")
        keep = len(self.taps) - 1
        if self._np is not None:
            self._h = self._np.array(self.taps)
            self._history = self._np.zeros((keep, channels))
        else:
            self._integer_taps()
        self._phase = 0  # index, in the next input, of the newest sample of the next output

    def process(self, samples: Any) -> Any:
        if self._np is not None:
            return self._process_numpy(samples)
        return self._process_pure(samples)

    def _process_pure(self, samples: Sequence[float]) -> List[float]:
        count = len(samples) // self.channels
        outputs = []
        for c in range(self.channels):
            x = samples[c::self.channels] if self.channels > 1 else samples
            outputs.append(self._integer_polyphase(c, x, count))
        self._phase = self._advance(count)
        if self.channels == 1:
            return outputs[0]
        out = [0.0] * (len(outputs[0]) * self.channels)
        for c in range(self.channels):
            out[c::self.channels] = outputs[c]
        return out

    # Plain Python cannot afford a loop over the taps for every output (about 15 000 multiply-adds
    # per 20 ms frame, per channel). It computes the same filter in fixed point instead: inputs
    # scaled by 2**24 (offset to be non-negative), taps by 2**30, each phase of the polyphase
    # filter packed into one big integer with 64-bit slots, so that one big-integer product per
    # phase gives every kept output of the chunk exactly (no slot can carry into the next).
    _X_SCALE = float(2 ** 24)
    _X_OFFSET = 2 ** 27  # inputs are clipped to +-8
    _H_SCALE = 2 ** 30

    def _integer_taps(self) -> None:
        taps = [round(v * self._H_SCALE) for v in self.taps]
        self._h_offset = max(0, -min(taps))  # makes every tap non-negative
        self._phases = []
        for p in range(self.factor):
            phase_taps = [v + self._h_offset for v in taps[p::self.factor]]
            self._phases.append((p, len(phase_taps), int.from_bytes(array("q", phase_taps).tobytes(), "little")))
        self._constant = self._X_OFFSET * sum(taps)
        self._history = [array("q", [self._X_OFFSET]) * (len(taps) - 1) for _ in range(self.channels)]

    def _quantize(self, x: Sequence[float]) -> "array[int]":
        try:
            q = array("q", map(round, map(self._X_SCALE.__mul__, x)))
        except (ValueError, OverflowError):  # NaN or infinity: silence, or the clip
            q = array("q", [0 if v != v else round(max(-8.0, min(8.0, v)) * self._X_SCALE) for v in x])
        limit = self._X_OFFSET
        if q and (min(q) < -limit or max(q) >= limit):
            q = array("q", [min(max(v, -limit), limit - 1) for v in q])
        return array("q", map(limit.__add__, q))

    def _integer_polyphase(self, channel: int, x: Sequence[float], count: int) -> List[float]:
        n, m, phi = len(self.taps), self.factor, self._phase
        buf = self._history[channel] + self._quantize(x)
        self._history[channel] = buf[len(buf) - (n - 1):]
        kept = len(range(phi, count, m))
        if not kept:
            return []
        total: Any = None
        for p, width, packed in self._phases:
            # Phase p: taps p, p + m, ...; its inputs: every m-th sample, ending with each output's.
            base = phi + n - 1 - p - (width - 1) * m
            inputs = buf[base::m][:kept + width - 1]
            product = int.from_bytes(inputs.tobytes(), "little") * packed
            slots = array("Q")
            slots.frombytes(product.to_bytes(8 * (len(inputs) + width), "little"))
            full = slots[width - 1:width - 1 + kept]
            total = full if total is None else list(map(add, total, full))
        sums = [0]
        sums += accumulate(buf)
        newest = phi + n
        windows = map(sub, sums[newest:newest + kept * m:m], sums[newest - n:newest - n + kept * m:m])
        scale, h_offset, constant = 1.0 / (self._X_SCALE * self._H_SCALE), self._h_offset, self._constant
        return [(t - h_offset * w - constant) * scale for t, w in zip(total, windows)]

    def _process_numpy(self, samples: Any) -> Any:
        np = self._np
        x = np.asarray(samples, dtype=np.float64).reshape(-1, self.channels)
        n, count = len(self.taps), x.shape[0]
        buf = np.concatenate((self._history, x)) if n > 1 else x
        kept = len(range(self._phase, count, self.factor))
        out = np.empty((kept, self.channels))
        if kept:
            # Each row of the view holds one kept output's inputs, without copying them.
            step = buf.strides[0]
            for c in range(self.channels):
                column = buf[self._phase:, c]
                windows = np.lib.stride_tricks.as_strided(column, shape=(kept, n), strides=(step * self.factor, step),
                                                          writeable=False)
                out[:, c] = windows @ self._h
        self._history = buf[buf.shape[0] - (n - 1):].copy()
        self._phase = self._advance(count)
        return out.reshape(-1)

    def _advance(self, count: int) -> int:
        if count <= self._phase:
            return self._phase - count
        return (self.factor - (count - self._phase) % self.factor) % self.factor


def _to_s16(v: float) -> int:
    v *= 32768.0
    if v >= 32767.0:
        return 32767
    if v <= -32768.0:
        return -32768
    return round(v) if v == v else 0  # NaN: silence


class Converter:
    """Turns each of brisvane's 7680-byte frames into one output frame: interleaved samples as
    array('f') / array('h'), or, with use_numpy, a NumPy array of shape (samples, channels).
    s16 is rounded to nearest (ties to even) after scaling by 32768, and clipped."""

    def __init__(self, rate: int = INPUT_RATE, channels: int = 2, sample_format: str = "f32",
                 use_numpy: bool = False):
        if sample_format not in FORMATS:
            raise ValueError("format must be one of %s, not %r" % (", ".join(FORMATS), sample_format))
        if channels not in (1, 2):
            raise ValueError("channels must be 1 or 2, not %r" % (channels,))
        if rate not in RATES:
            raise ValueError("rate must be one of %s, not %r" % (", ".join(map(str, RATES)), rate))
        self.rate, self.channels, self.format = rate, channels, sample_format
        self.factor = INPUT_RATE // rate
        self.frame_samples = FRAME_SAMPLES // self.factor  # per channel
        self._np = numpy_module() if use_numpy else None
        if use_numpy and self._np is None:
            raise ImportError("use_numpy=True, but NumPy is not installed")
        # Mono is the mean of the channels: the sum, with the half folded into the taps.
        gain = 0.5 if channels == 1 else 1.0
        self._decimator = Decimator(self.factor, channels, use_numpy, gain) if self.factor > 1 else None
        self._gain = gain
        self._zeros_fed = 0

    def frame(self, data: bytes) -> Any:
        self._zeros_fed = 0
        if self._np is not None:
            return self._frame_numpy(data)
        return self._frame_pure(data)

    def silence(self) -> Any:
        """A frame of silence, for filling the timeline: what zeros in the input give, the
        decimator's delayed output of the audio before them included."""
        if self._decimator is not None and self._zeros_fed < len(self._decimator.taps):
            out = self.frame(bytes(FRAME_BYTES))
            self._zeros_fed = FRAME_SAMPLES
            return out
        if self._np is not None:
            dtype = self._np.float32 if self.format == "f32" else self._np.int16
            return self._np.zeros((self.frame_samples, self.channels), dtype=dtype)
        return array("f" if self.format == "f32" else "h", bytes(self.frame_samples * self.channels *
                                                              (4 if self.format == "f32" else 2)))

    def _frame_pure(self, data: bytes) -> Any:
        samples = array("f", data)
        if sys.byteorder == "big":
            samples.byteswap()
        if self.channels == 2 and self.factor == 1:
            values: Any = samples
        else:
            values = list(map(add, samples[0::2], samples[1::2])) if self.channels == 1 else samples
            if self._decimator is not None:
                values = self._decimator.process(values)
            elif self._gain != 1.0:
                values = [v * self._gain for v in values]
        if self.format == "f32":
            return values if isinstance(values, array) else array("f", values)
        return array("h", map(_to_s16, values))

    def _frame_numpy(self, data: bytes) -> Any:
        np = self._np
        x = np.frombuffer(data, dtype="<f4").reshape(-1, 2)
        if self.channels == 1:
            x = x.astype(np.float64).sum(axis=1, keepdims=True)
        if self._decimator is not None:
            x = self._decimator.process(x).reshape(-1, self.channels)
        elif self._gain != 1.0:
            x = x * self._gain
        if self.format == "f32":
            return x.astype(np.float32)
        y = np.rint(x * 32768.0)
        y[np.isnan(y)] = 0.0
        return np.clip(y, -32768, 32767, out=y).astype(np.int16)
