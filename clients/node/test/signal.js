'use strict';
// Test signals. The fake program's: frame k holds floats that differ from every other frame's,
// so a lost, repeated or reordered frame shows. The simulated engine's counting source: byte i
// is (7i + (i >> 8) + (i >> 16) + (i >> 24)) mod 256.
function frameSamples(k) {
  const samples = new Float32Array(1920);
  for (let i = 0; i < 1920; i++) samples[i] = (((k * 1920 + i) * 7919) % 65536) / 65536 - 0.5;
  return samples;
}

function frameBytes(k) {
  return Buffer.from(frameSamples(k).buffer);
}

function counting(offset, length) {
  const out = Buffer.alloc(length);
  for (let k = 0, i = offset; k < length; k++, i++) out[k] = (7 * i + Math.floor(i / 256) + Math.floor(i / 65536) + Math.floor(i / 16777216)) & 0xff;
  return out;
}

const countingFrame = (k) => new Float32Array(counting(k * 7680, 7680).buffer);

// The engine's counting source in packets of varying size, as fast as the program reads, until
// the device goes away after 180 packets: 60 x (441 + 480 + 1056) sample frames, 123 whole frames.
const DEVICE_LOST = 'source = counting\npace = fast\npacket_frames = 441,480,1056\ninvalidate_after_packets = 180\n';
const DEVICE_LOST_FRAMES = 123;

// The bytes of a list of typed-array frames, end to end.
const bytesOf = (frames) => Buffer.concat(frames.map((f) => Buffer.from(f.buffer, f.byteOffset, f.byteLength)));

module.exports = { frameSamples, frameBytes, counting, countingFrame, bytesOf, DEVICE_LOST, DEVICE_LOST_FRAMES };
