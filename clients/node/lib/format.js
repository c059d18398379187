'use strict';
// The output format of a capture and the conversion of the program's frames into it.
// The program writes 48 kHz stereo 32-bit float frames of 960 sample frames (20 ms);
// every output frame covers the same 20 ms.
const { Decimator } = require('./decimator');

const SOURCE_RATE = 48000;
const SOURCE_CHANNELS = 2;
const FRAME_BYTES = 7680;
const FRAME_SAMPLE_FRAMES = 960;
const FRAME_MS = 20;
const RATES = [48000, 24000, 16000, 8000];
const SAMPLE_TYPES = ['f32', 's16'];

// Checks and completes a format given as { sampleType, rate, channels }.
function normalizeFormat(format = {}) {
  const sampleType = format.sampleType ?? 'f32';
  const rate = format.rate ?? SOURCE_RATE;
  const channels = format.channels ?? SOURCE_CHANNELS;
  if (!SAMPLE_TYPES.includes(sampleType)) {
    throw new TypeError(`sampleType must be one of ${SAMPLE_TYPES.join(', ')}, not ${JSON.stringify(sampleType)}`);
  }
  if (!RATES.includes(rate)) throw new TypeError(`rate must be one of ${RATES.join(', ')}, not ${rate}`);
  if (channels !== 1 && channels !== 2) throw new TypeError(`channels must be 1 or 2, not ${channels}`);
  const samplesPerFrame = (FRAME_SAMPLE_FRAMES / (SOURCE_RATE / rate)) * channels;
  return { sampleType, rate, channels, samplesPerFrame };
}

// A float sample as a 16-bit integer: scaled by 32768, rounded to nearest, clipped.
function toS16(value) {
  const scaled = Math.round(value * 32768);
  return (scaled > 32767 ? 32767 : scaled < -32768 ? -32768 : scaled) | 0;
}

// Turns raw frames (Float32Array of 1920 interleaved samples) into frames of the format.
// It keeps the decimators' state, so frames must be given in stream order.
class FrameConverter {
  constructor(format) {
    this.format = normalizeFormat(format);
    const { rate, channels, sampleType } = this.format;
    this.raw = rate === SOURCE_RATE && channels === SOURCE_CHANNELS && sampleType === 'f32';
    const factor = SOURCE_RATE / rate;
    this.decimators = factor > 1 ? Array.from({ length: channels }, () => new Decimator(factor)) : [];
    this.mono = new Float64Array(FRAME_SAMPLE_FRAMES);
    this.planar = new Float64Array(this.format.samplesPerFrame);
  }

  // The output frame for one raw frame. Raw output is the frame itself.
  convert(frame) {
    if (this.raw) return frame;
    const { channels, sampleType, samplesPerFrame } = this.format;
    let source = frame;
    let stride = SOURCE_CHANNELS;
    if (channels === 1) {
      const mono = this.mono;
      for (let i = 0; i < FRAME_SAMPLE_FRAMES; i++) mono[i] = (frame[2 * i] + frame[2 * i + 1]) / 2;
      source = mono;
      stride = 1;
    }
    const out = sampleType === 's16' ? new Int16Array(samplesPerFrame) : new Float32Array(samplesPerFrame);
    if (this.decimators.length === 0) {
      // Interleaved stereo or the mono mix: the samples are in output order already.
      if (sampleType === 'f32') for (let i = 0; i < samplesPerFrame; i++) out[i] = source[i];
      else for (let i = 0; i < samplesPerFrame; i++) out[i] = toS16(source[i]);
      return out;
    }
    // Filtered into the planar buffer in the output's interleaved order, then stored.
    const planar = this.planar;
    for (let c = 0; c < channels; c++) {
      this.decimators[c].process(source, c, stride, FRAME_SAMPLE_FRAMES, planar, c, channels);
    }
    if (sampleType === 'f32') out.set(planar);
    else for (let i = 0; i < samplesPerFrame; i++) out[i] = toS16(planar[i]);
    return out;
  }
}

module.exports = {
  FrameConverter,
  normalizeFormat,
  toS16,
  SOURCE_RATE,
  SOURCE_CHANNELS,
  FRAME_BYTES,
  FRAME_SAMPLE_FRAMES,
  FRAME_MS,
};
