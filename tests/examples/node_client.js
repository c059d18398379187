'use strict';
// Drives examples/node/brisvane.js for examples_cases.py and writes down what a program using
// it sees: the frames (their bytes, appended to FRAMES_FILE), the order of 'started' and the
// first frame, the error the stream ended with, and the child's end.
//   node node_client.js FRAMES_FILE RESULT_JSON [STOP_AFTER_FRAMES]
// The command comes from BRISVANE_COMMAND, as in the example.
const fs = require('node:fs');
const path = require('node:path');
const { capture, BrisvaneError, FRAME_SAMPLES } = require(
  path.join(__dirname, '..', '..', 'examples', 'node', 'brisvane.js'));

async function main() {
  const [framesFile, resultFile, stopAfter] = process.argv.slice(2);
  const out = fs.openSync(framesFile, 'w');
  const result = { events: [], frames: 0, badFrames: [], error: null };
  const frames = capture();
  frames.on('started', () => result.events.push('started'));
  try {
    for await (const frame of frames) {
      if (result.frames === 0) result.events.push('frame');
      if (!(frame instanceof Float32Array) || frame.length !== FRAME_SAMPLES) {
        result.badFrames.push({ index: result.frames, type: frame?.constructor?.name, length: frame?.length });
      }
      fs.writeSync(out, new Uint8Array(frame.buffer, frame.byteOffset, frame.byteLength));
      result.frames += 1;
      if (stopAfter !== undefined && result.frames === Number(stopAfter)) break; // ends the program
    }
    result.events.push('end');
  } catch (err) {
    result.events.push('error');
    result.error = {
      isBrisvaneError: err instanceof BrisvaneError,
      message: err.message,
      status: err.status,
      signal: err.signal,
      context: err.context,
      report: err.report,
      causes: err.causes,
    };
  }
  fs.closeSync(out);
  // After the loop the child has been ended (or has ended): wait for its exit.
  const child = frames.child;
  if (child.exitCode === null && child.signalCode === null) {
    await new Promise((resolve) => child.once('exit', resolve));
  }
  result.child = { exitCode: child.exitCode, signalCode: child.signalCode };
  fs.writeFileSync(resultFile, JSON.stringify(result, null, 1));
}

main();
