#!/usr/bin/env node
'use strict';
// Prints the level of what the computer plays, once a second, until brisvane stops:
//   npm install brisvane && node level.js
// Set BRISVANE_COMMAND to start the program another way (see the package's README).
const { start, FRAME_MS } = require('brisvane');

const FRAMES_PER_SECOND = 1000 / FRAME_MS; // 50

function dbfs(value) {
  return value > 0 ? 20 * Math.log10(value) : -Infinity;
}

async function main() {
  const capture = await start();
  console.error('brisvane started');
  process.on('SIGINT', () => capture.stop());
  let second = 0;
  let count = 0;
  let squares = 0;
  let samples = 0;
  let peak = 0;
  for await (const frame of capture) {
    for (const v of frame) {
      squares += v * v;
      peak = Math.max(peak, Math.abs(v));
    }
    samples += frame.length;
    if (++count === FRAMES_PER_SECOND) {
      const rms = Math.sqrt(squares / samples);
      second += 1;
      console.log(`${String(second).padStart(4)} s  RMS ${dbfs(rms).toFixed(1).padStart(6)} dBFS` +
                  `  peak ${dbfs(peak).toFixed(1).padStart(6)} dBFS`);
      count = squares = samples = peak = 0;
    }
  }
}

main().catch((err) => {
  console.error(err.message);
  process.exitCode = typeof err.status === 'number' && err.status !== 0 ? err.status : 1;
});
