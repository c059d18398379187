#!/usr/bin/env node
'use strict';
// Prints the level of what the computer plays, once a second, until brisvane stops:
//   node level.js
// Set BRISVANE_COMMAND to start the program another way (see brisvane.js).
const { capture, SAMPLE_RATE, FRAME_SAMPLES, CHANNELS } = require('./brisvane');

const FRAMES_PER_SECOND = SAMPLE_RATE / (FRAME_SAMPLES / CHANNELS); // 50

function dbfs(value) {
  return value > 0 ? 20 * Math.log10(value) : -Infinity;
}

async function main() {
  const frames = capture();
  frames.on('started', () => console.error('brisvane started'));
  process.on('SIGINT', () => frames.stop());
  let second = 0;
  let count = 0;
  let squares = 0;
  let peak = 0;
  for await (const frame of frames) {
    for (const v of frame) {
      squares += v * v;
      peak = Math.max(peak, Math.abs(v));
    }
    if (++count === FRAMES_PER_SECOND) {
      const rms = Math.sqrt(squares / (count * FRAME_SAMPLES));
      second += 1;
      console.log(`${String(second).padStart(4)} s  RMS ${dbfs(rms).toFixed(1).padStart(6)} dBFS` +
                  `  peak ${dbfs(peak).toFixed(1).padStart(6)} dBFS`);
      count = squares = peak = 0;
    }
  }
}

main().catch((err) => {
  console.error(err.message);
  process.exitCode = typeof err.status === 'number' && err.status !== 0 ? err.status : 1;
});
