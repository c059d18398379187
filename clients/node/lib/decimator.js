'use strict';
// Integer-factor decimation from 48 kHz with a Kaiser-windowed sinc low-pass filter.
// The filter keeps 0.45 of the output rate with under 0.1 dB of ripple and attenuates
// everything above 0.55 of it (what would fold back into the kept band) by at least 80 dB.
// Only the samples that are kept are computed: output k is the filter's value at input
// sample k * factor, so the output of N input samples is exactly ceil(N / factor) samples,
// the same however the input is split into chunks. The filter is causal and linear-phase:
// the output lags the input by (taps - 1) / 2 input samples.

const PASS_EDGE = 0.45; // fractions of the output rate
const STOP_EDGE = 0.55;
const ATTENUATION_DB = 82; // designed with a margin over the 80 dB that is promised

// The zeroth-order modified Bessel function of the first kind, by its power series.
function besselI0(x) {
  let sum = 1;
  let term = 1;
  const q = (x / 2) * (x / 2);
  for (let k = 1; term > 1e-12 * sum; k++) {
    term *= q / (k * k);
    sum += term;
  }
  return sum;
}

// The low-pass filter's taps for decimation by `factor`, normalised to unity gain at 0 Hz.
function designTaps(factor) {
  const width = (STOP_EDGE - PASS_EDGE) / factor; // transition band, cycles per input sample
  const cutoff = 0.5 / factor;
  const beta = 0.1102 * (ATTENUATION_DB - 8.7);
  let count = Math.ceil((ATTENUATION_DB - 8) / (2.285 * 2 * Math.PI * width)) + 1;
  if (count % 2 === 0) count += 1; // odd: a whole-sample delay
  const middle = (count - 1) / 2;
  const taps = new Float64Array(count);
  let sum = 0;
  for (let n = 0; n < count; n++) {
    const t = n - middle;
    const sinc = t === 0 ? 2 * cutoff : Math.sin(2 * Math.PI * cutoff * t) / (Math.PI * t);
    const r = t / middle;
    taps[n] = sinc * besselI0(beta * Math.sqrt(1 - r * r)) / besselI0(beta);
    sum += taps[n];
  }
  for (let n = 0; n < count; n++) taps[n] /= sum;
  return taps;
}

// One channel's decimator; keeps the last taps - 1 input samples between calls.
class Decimator {
  constructor(factor) {
    if (!Number.isInteger(factor) || factor < 1) throw new RangeError(`bad decimation factor ${factor}`);
    this.factor = factor;
    // Reversed, so that the inner loop walks input and taps in the same direction.
    this.taps = designTaps(factor).reverse();
    this.delay = (this.taps.length - 1) / 2;
    this.history = this.taps.length - 1;
    this.buffer = new Float64Array(this.history + 4096);
    this.skip = 0; // input samples to pass before the next kept one
  }

  // Filters `count` samples of `input` read every `stride` elements from `offset`, and
  // writes the kept outputs to `output` every `outStride` elements from `outOffset`.
  // Returns the number of outputs written.
  process(input, offset, stride, count, output, outOffset, outStride) {
    const need = this.history + count;
    if (this.buffer.length < need) {
      const grown = new Float64Array(need);
      grown.set(this.buffer.subarray(0, this.history));
      this.buffer = grown;
    }
    const buffer = this.buffer;
    const history = this.history;
    for (let i = 0; i < count; i++) buffer[history + i] = input[offset + i * stride];
    const taps = this.taps;
    const length = taps.length;
    const half = this.delay;
    const factor = this.factor;
    let written = 0;
    let i = this.skip;
    for (; i < count; i += factor) {
      // The taps are symmetric: each pair of samples that share a tap is added first.
      let s0 = taps[half] * buffer[i + half];
      let s1 = 0;
      let j = 0;
      const last = i + length - 1;
      for (; j + 1 < half; j += 2) {
        s0 += taps[j] * (buffer[i + j] + buffer[last - j]);
        s1 += taps[j + 1] * (buffer[i + j + 1] + buffer[last - j - 1]);
      }
      for (; j < half; j++) s0 += taps[j] * (buffer[i + j] + buffer[last - j]);
      output[outOffset + written * outStride] = s0 + s1;
      written += 1;
    }
    this.skip = i - count;
    buffer.copyWithin(0, count, count + history);
    return written;
  }
}

module.exports = { Decimator, designTaps, PASS_EDGE, STOP_EDGE };
