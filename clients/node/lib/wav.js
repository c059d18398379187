'use strict';
// A WAV file written as frames arrive: 16-bit PCM or 32-bit float. Its sizes are brought up
// to date every second and when it is finished, so that a recording cut short by a hard
// stop is still readable up to its last second. A file whose data passes 4 GiB becomes
// RF64 when finished: the JUNK chunk reserved after the RIFF header turns into ds64.
const fs = require('node:fs');
const { normalizeFormat } = require('./arguments');

const RIFF_LIMIT = 0xffffffff;
const UPDATE_EVERY_BYTES = 48000 * 2 * 4; // about a second at most

class WavWriter {
  // format: { sampleType: 'f32' | 's16', rate, channels }; limit: the largest RIFF size.
  constructor(path, format, { limit = RIFF_LIMIT } = {}) {
    const { sampleType, rate, channels } = normalizeFormat(format);
    this.float = sampleType === 'f32';
    this.bytesPerSample = this.float ? 4 : 2;
    this.blockAlign = this.bytesPerSample * channels;
    this.limit = limit;
    this.dataBytes = 0;
    this.sinceUpdate = 0;
    this.fd = fs.openSync(path, 'w');
    const header = Buffer.alloc(this.float ? 94 : 80);
    header.write('RIFF', 0, 'latin1');
    header.write('WAVE', 8, 'latin1');
    header.write('JUNK', 12, 'latin1');
    header.writeUInt32LE(28, 16);
    header.write('fmt ', 48, 'latin1');
    header.writeUInt32LE(this.float ? 18 : 16, 52);
    header.writeUInt16LE(this.float ? 3 : 1, 56); // WAVE_FORMAT_IEEE_FLOAT or WAVE_FORMAT_PCM
    header.writeUInt16LE(channels, 58);
    header.writeUInt32LE(rate, 60);
    header.writeUInt32LE(rate * this.blockAlign, 64);
    header.writeUInt16LE(this.blockAlign, 68);
    header.writeUInt16LE(this.bytesPerSample * 8, 70);
    if (this.float) {
      header.write('fact', 74, 'latin1'); // float data needs a fact chunk: its sample frames
      header.writeUInt32LE(4, 78);
    }
    this.dataAt = header.length;
    header.write('data', this.dataAt - 8, 'latin1');
    this.header = header;
    fs.writeSync(this.fd, header, 0, header.length, 0);
    this.updateSizes();
  }

  // Appends one frame (Float32Array or Int16Array of the writer's format).
  write(frame) {
    const bytes = new Uint8Array(frame.buffer, frame.byteOffset, frame.byteLength);
    fs.writeSync(this.fd, bytes, 0, bytes.length, this.dataAt + this.dataBytes);
    this.dataBytes += bytes.length;
    this.sinceUpdate += bytes.length;
    if (this.sinceUpdate >= UPDATE_EVERY_BYTES) this.updateSizes();
  }

  updateSizes() {
    this.sinceUpdate = 0;
    const riff = this.dataAt - 8 + this.dataBytes;
    const frames = this.dataBytes / this.blockAlign;
    const h = this.header;
    if (riff <= this.limit) {
      h.write('RIFF', 0, 'latin1');
      h.writeUInt32LE(riff, 4);
      h.write('JUNK', 12, 'latin1');
      h.fill(0, 20, 48);
      if (this.float) h.writeUInt32LE(frames, 82);
      h.writeUInt32LE(this.dataBytes, this.dataAt - 4);
    } else {
      h.write('RF64', 0, 'latin1');
      h.writeUInt32LE(0xffffffff, 4);
      h.write('ds64', 12, 'latin1');
      h.writeBigUInt64LE(BigInt(riff), 20);
      h.writeBigUInt64LE(BigInt(this.dataBytes), 28);
      h.writeBigUInt64LE(BigInt(frames), 36);
      h.writeUInt32LE(0, 44); // no table of other chunk sizes
      if (this.float) h.writeUInt32LE(0xffffffff, 82);
      h.writeUInt32LE(0xffffffff, this.dataAt - 4);
    }
    fs.writeSync(this.fd, h, 0, h.length, 0);
  }

  // Writes the final sizes and closes the file; safe to call more than once.
  finish() {
    if (this.fd === null) return;
    this.updateSizes();
    fs.closeSync(this.fd);
    this.fd = null;
  }
}

module.exports = { WavWriter };
