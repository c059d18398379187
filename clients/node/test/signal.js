'use strict';
// The fake program's test signal: frame k holds floats that differ from every other
// frame's, so a lost, repeated or reordered frame shows.
function frameSamples(k) {
  const samples = new Float32Array(1920);
  for (let i = 0; i < 1920; i++) samples[i] = (((k * 1920 + i) * 7919) % 65536) / 65536 - 0.5;
  return samples;
}

function frameBytes(k) {
  return Buffer.from(frameSamples(k).buffer);
}

module.exports = { frameSamples, frameBytes };
