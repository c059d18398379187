"""The output formats and the decimator's quality figures, measured with tones, through both
the NumPy and the plain Python arithmetic."""
import math
import random
import struct
import unittest
from array import array

from brisvane import Converter, Decimator
from brisvane._convert import numpy_module

np = numpy_module()
PATHS = [False] + ([True] if np is not None else [])
FACTORS = (2, 3, 6)  # 24000, 16000, 8000 Hz


def tone(frequency, count, amplitude=1.0, rate=48000):
    return [amplitude * math.sin(2 * math.pi * frequency * n / rate + 0.3) for n in range(count)]


def level_db(decimator, frequency):
    """The tone's level at the output (dB against the input), from the RMS after the filter settled."""
    factor = decimator.factor
    out = list(decimator.process(tone(frequency, 12000 + 6 * len(decimator.taps))))
    settled = out[len(decimator.taps) // factor + 1:]
    rms = math.sqrt(math.fsum(v * v for v in settled) / len(settled))
    return 20 * math.log10(max(rms * math.sqrt(2), 1e-12))


class DecimatorQuality(unittest.TestCase):
    def test_passband_ripple_and_alias_rejection(self):
        for use_numpy in PATHS:
            for factor in FACTORS:
                out_rate = 48000 / factor
                passband = [out_rate * 0.45 * k / 12 for k in range(1, 13)]
                stopband = [out_rate * 0.55 + (24000 - out_rate * 0.55) * k / 24 for k in range(24)]
                stopband += [12000.0] if factor == 3 else []  # lands at 4 kHz
                with self.subTest(numpy=use_numpy, factor=factor):
                    gains = [level_db(Decimator(factor, 1, use_numpy), f) for f in passband]
                    self.assertLessEqual(max(map(abs, gains)), 0.1, "passband ripple (dB) %s" % gains)
                    worst = max(level_db(Decimator(factor, 1, use_numpy), f) for f in stopband if f < 24000)
                    self.assertLessEqual(worst, -80.0, "alias rejection %.1f dB" % worst)

    def test_output_does_not_depend_on_chunking_and_has_exact_length(self):
        rng = random.Random(7)
        for use_numpy in PATHS:
            for factor, channels in ((3, 1), (2, 2), (6, 1)):
                x = [rng.uniform(-1, 1) for _ in range(channels * 4001)]
                whole = list(Decimator(factor, channels, use_numpy).process(x))
                pieces, d, i = [], Decimator(factor, channels, use_numpy), 0
                for size in (1, 7, 960, 333, 2, 10000):
                    pieces += list(d.process(x[i:i + size * channels]))
                    i += size * channels
                with self.subTest(numpy=use_numpy, factor=factor, channels=channels):
                    self.assertEqual(len(whole), math.ceil(4001 / factor) * channels)
                    self.assertEqual(len(pieces), len(whole))
                    self.assertLessEqual(max(abs(a - b) for a, b in zip(whole, pieces)), 1e-12)
                    if use_numpy:  # the two arithmetics agree
                        plain = Decimator(factor, channels, False).process(x)
                        self.assertLessEqual(max(abs(a - b) for a, b in zip(whole, plain)), 1e-6)


class Formats(unittest.TestCase):
    def frame(self, pairs):
        values = [v for pair in pairs for v in pair]
        values += [0.0] * (1920 - len(values))
        return struct.pack("<1920f", *values)

    def test_sample_types_channels_and_frame_sizes(self):
        half_lsb, lsb_and_half = 0.5 / 32768, 1.5 / 32768
        data = self.frame([(0.5, -1.0), (1.0, 1.5), (-1.5, half_lsb), (lsb_and_half, float("nan")), (0.25, 0.75)])
        for use_numpy in PATHS:
            def convert(rate, channels, fmt):
                out = Converter(rate, channels, fmt, use_numpy).frame(data)
                return out.reshape(-1).tolist() if use_numpy else out.tolist()

            with self.subTest(numpy=use_numpy):
                f32 = convert(48000, 2, "f32")
                self.assertEqual(struct.pack("<1920f", *f32), data)
                self.assertEqual(convert(48000, 2, "s16")[:10], [16384, -32768, 32767, 32767, -32768, 0, 2, 0,
                                                                  8192, 24576])
                mono = convert(48000, 1, "f32")
                self.assertEqual([mono[0], mono[1], mono[4]], [-0.25, 1.25, 0.5])  # the mean
                for rate, channels in ((16000, 1), (8000, 2), (24000, 1)):
                    self.assertEqual(len(convert(rate, channels, "s16")), 960 * channels * rate // 48000)
        with self.assertRaises(ValueError):
            Converter(44100)
