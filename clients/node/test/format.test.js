'use strict';
// Format conversion and the decimator's quality, measured with tones through the filter.
const test = require('node:test');
const assert = require('node:assert/strict');
const { FrameConverter, toS16 } = require('../lib/format');
const { Decimator } = require('../lib/decimator');

// The level in dB, relative to the tone's, of a tone through the converter to `rate` mono, once
// the filter has settled: in the passband the amplitude of a least-squares fit of the tone, above
// it the RMS of what folded back.
function gainDb(rate, hz) {
  const converter = new FrameConverter({ rate, channels: 1 });
  const out = [];
  for (let n = 0; n < 12000; n += 960) {
    const frame = new Float32Array(1920).map((_, i) => 0.5 * Math.sin(2 * Math.PI * hz * (n + (i >> 1)) / 48000));
    out.push(...converter.convert(frame));
  }
  const y = out.slice(Math.ceil(converter.decimators[0].taps.length / (48000 / rate)));
  if (hz >= rate / 2) return 20 * Math.log10(Math.sqrt((2 * y.reduce((s, v) => s + v * v, 0)) / y.length) / 0.5);
  let [ss, cc, sc, ys, yc] = [0, 0, 0, 0, 0];
  y.forEach((v, k) => {
    const [s, c] = [Math.sin(2 * Math.PI * hz * k / rate), Math.cos(2 * Math.PI * hz * k / rate)];
    [ss, cc, sc, ys, yc] = [ss + s * s, cc + c * c, sc + s * c, ys + v * s, yc + v * c];
  });
  const det = ss * cc - sc * sc;
  return 20 * Math.log10(Math.hypot((ys * cc - yc * sc) / det, (yc * ss - ys * sc) / det) / 0.5);
}

test('decimation keeps 0.45 of the output rate within 0.1 dB and folds nothing above 0.55 back, 80 dB down', () => {
  for (const rate of [24000, 16000, 8000]) {
    const pass = [];
    for (let hz = 50; hz <= 0.45 * rate; hz += rate / 200) pass.push(gainDb(rate, hz));
    pass.push(gainDb(rate, 0.45 * rate));
    const ripple = Math.max(...pass) - Math.min(...pass);
    let worst = -Infinity;
    for (let hz = 0.55 * rate; hz < 24000; hz += rate / 160) worst = Math.max(worst, gainDb(rate, hz));
    worst = Math.max(worst, gainDb(rate, 0.55 * rate));
    console.log(`${rate} Hz: passband ripple ${ripple.toFixed(4)} dB, alias rejection ${(-worst).toFixed(1)} dB`);
    assert.ok(ripple <= 0.1, `${rate} Hz: ripple ${ripple} dB`);
    assert.ok(worst <= -80, `${rate} Hz: an alias at ${worst} dB`);
  }
});

test('the decimator gives the same samples, and exactly ceil(N / factor) of them, however the input is cut', () => {
  const input = Float64Array.from({ length: 10007 }, (_, i) => Math.sin(i * 0.37) + Math.cos(i * 0.011));
  for (const factor of [2, 3, 6]) {
    const whole = new Float64Array(input.length);
    const n = new Decimator(factor).process(input, 0, 1, input.length, whole, 0, 1);
    assert.equal(n, Math.ceil(input.length / factor));
    const cut = new Decimator(factor);
    const pieces = [];
    for (let at = 0, size = 1; at < input.length; at += size, size = (size * 7 + 3) % 1500 + 1) {
      const count = Math.min(size, input.length - at);
      const out = new Float64Array(count);
      pieces.push(...out.subarray(0, cut.process(input, at, 1, count, out, 0, 1)));
    }
    assert.deepEqual(pieces, Array.from(whole.subarray(0, n)));
  }
});

test('sample types and channels: s16 rounded and clipped, mono the mean, frames of 20 ms', () => {
  const cases = [[0.5 / 32768, 1], [-1.5 / 32768, -1], [1, 32767], [-1, -32768], [3, 32767], [-3, -32768], [0.25, 8192]];
  assert.deepEqual(cases.map(([v]) => toS16(v)), cases.map(([, want]) => want));
  const frame = Float32Array.from({ length: 1920 }, (_, i) => (i % 2 ? -0.25 : 0.75) * ((i % 7) / 7));
  const formats = [
    [{}, Float32Array, 1920, (i) => frame[i]],
    [{ sampleType: 's16' }, Int16Array, 1920, (i) => toS16(frame[i])],
    [{ channels: 1 }, Float32Array, 960, (i) => Math.fround((frame[2 * i] + frame[2 * i + 1]) / 2)],
    [{ channels: 1, sampleType: 's16' }, Int16Array, 960, (i) => toS16((frame[2 * i] + frame[2 * i + 1]) / 2)],
    [{ rate: 16000, channels: 1, sampleType: 's16' }, Int16Array, 320, null],
    [{ rate: 24000 }, Float32Array, 960, null],
    [{ rate: 8000, channels: 1 }, Float32Array, 160, null],
  ];
  for (const [format, type, length, sample] of formats) {
    const out = new FrameConverter(format).convert(frame);
    assert.ok(out instanceof type && out.length === length, `${JSON.stringify(format)}: ${out.constructor.name}(${out.length})`);
    if (sample) assert.deepEqual(Array.from(out), Array.from({ length }, (_, i) => sample(i)), JSON.stringify(format));
  }
  assert.throws(() => new FrameConverter({ rate: 44100 }), /rate must be one of 48000, 24000, 16000, 8000/);
});
