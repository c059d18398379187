'use strict';
// Starts brisvane.exe and reads its PCM stream as a readable stream (object mode) of
// Float32Array frames: 960 sample frames of interleaved left/right, 1920 floats, 20 ms.
// No dependencies beyond Node.js itself.
//
//   const { capture } = require('./brisvane');
//   const frames = capture();
//   frames.on('started', () => console.error('capturing'));
//   for await (const frame of frames) { /* frame: Float32Array(1920) */ }
//
// The loop ends without an error only when the capture was stopped from this side
// (frames.stop(), frames.destroy(), or leaving the loop early); brisvane itself never ends
// on its own without a report, so any other end rejects with a BrisvaneError.

const { spawn } = require('node:child_process');
const { Readable } = require('node:stream');

const FRAME_BYTES = 7680;
const FRAME_SAMPLES = FRAME_BYTES / 4;
const SAMPLE_RATE = 48000;
const CHANNELS = 2;
const STARTED_LINE = 'brisvane started';

// Exit statuses that come without an "Error:" report.
const STATUS_MEANINGS = {
  101: 'the start-up line could not be written to standard error',
  102: 'memory could not be obtained',
};

// Splits brisvane's error report ("Error: <context>\n\nCaused by:\n    0: ...") into its
// context line and its causes (continuation lines of a cause joined with "\n").
function parseReport(report) {
  const text = report.replace(/\r\n/g, '\n').replace(/\n+$/, '');
  if (!text.startsWith('Error: ')) {
    return { context: text.split('\n')[0] || null, causes: [] };
  }
  const marker = '\n\nCaused by:\n';
  const split = text.indexOf(marker);
  const context = text.slice('Error: '.length, split < 0 ? text.length : split);
  const causes = [];
  if (split >= 0) {
    const lines = text.slice(split + marker.length).split('\n');
    const numbered = /^ *\d+: $/.test(lines[0].slice(0, 7));
    for (const line of lines) {
      if (!numbered) {
        if (causes.length === 0) causes.push(line.slice(4));
        else causes[0] += '\n' + line.slice(4);
      } else if (/^ *\d+: $/.test(line.slice(0, 7))) {
        causes.push(line.slice(7));
      } else {
        causes[causes.length - 1] += '\n' + line.slice(7);
      }
    }
  }
  return { context, causes };
}

// How brisvane ended: its exit status (null when a signal ended it), the report it wrote
// on standard error (after the start-up line), and that report's context line and causes.
class BrisvaneError extends Error {
  constructor(status, signal, report) {
    const { context, causes } = parseReport(report);
    const why = context ?? STATUS_MEANINGS[status] ?? 'it ended without a report';
    const how = status !== null ? `exited with status ${status}` : `was ended by ${signal}`;
    super(`brisvane ${how}: ${why}` + (causes.length ? `: ${causes[0]}` : ''));
    this.name = 'BrisvaneError';
    this.status = status;
    this.signal = signal;
    this.report = report;
    this.context = context;
    this.causes = causes;
  }
}

// The command that starts the program: BRISVANE_COMMAND when set (words separated by
// blanks, or a JSON array of strings for paths with blanks), for example
// "wine C:/tools/brisvane.exe"; otherwise brisvane.exe, looked up on PATH.
function defaultCommand() {
  const value = (process.env.BRISVANE_COMMAND || '').trim();
  if (!value) return ['brisvane.exe'];
  if (value.startsWith('[')) return JSON.parse(value);
  return value.split(/\s+/);
}

// Starts brisvane and returns a Readable of Float32Array frames. Options:
//   command        the program and its first arguments (default: defaultCommand());
//   highWaterMark  frames held for a slow consumer before brisvane is made to wait
//                  (default 50, one second; a reader that stalls longer loses audio in the engine).
// Events besides the stream's own: 'started' once brisvane has written its start-up line.
// Properties: child (the ChildProcess), started (boolean), stop() ends the capture.
function capture(options = {}) {
  const [file, ...args] = options.command ?? defaultCommand();
  const child = spawn(file, args, { stdio: ['ignore', 'pipe', 'pipe'], windowsHide: true });
  let frame = new Float32Array(FRAME_SAMPLES);
  let filled = 0; // bytes of `frame` filled so far
  let stopping = false;
  let report = '';
  let firstLine = null; // standard error up to its first line feed, until that arrives

  const stream = new Readable({
    objectMode: true,
    highWaterMark: options.highWaterMark ?? 50,
    read() {
      if (stream.started || firstLine === undefined) child.stdout.resume();
    },
    destroy(err, callback) {
      stopping = stopping || !err;
      if (child.exitCode === null && child.signalCode === null) child.kill();
      child.stdout.destroy(); // what is still in the pipe is not wanted any more
      callback(err);
    },
  });
  stream.child = child;
  stream.started = false;
  stream.stop = () => {
    stopping = true;
    child.kill();
  };

  // Frames are read only after the start-up line has been seen (it comes before the first
  // PCM byte), so that 'started' is always emitted before the first frame.
  child.stdout.pause();
  child.stdout.on('data', (chunk) => {
    let offset = 0;
    while (offset < chunk.length) {
      const n = Math.min(FRAME_BYTES - filled, chunk.length - offset);
      // Float32Array is little-endian on every platform Node.js runs Windows programs on.
      new Uint8Array(frame.buffer, filled, n).set(chunk.subarray(offset, offset + n));
      filled += n;
      offset += n;
      if (filled === FRAME_BYTES) {
        const full = frame;
        frame = new Float32Array(FRAME_SAMPLES);
        filled = 0;
        if (!stream.push(full)) child.stdout.pause();
      }
    }
  });

  child.stderr.setEncoding('utf8');
  child.stderr.on('data', (text) => {
    if (firstLine === null || typeof firstLine === 'string') {
      firstLine = (firstLine ?? '') + text;
      const end = firstLine.indexOf('\n');
      if (end < 0) return;
      const line = firstLine.slice(0, end);
      const rest = firstLine.slice(end + 1);
      if (line === STARTED_LINE) {
        stream.started = true;
        firstLine = undefined;
        report += rest;
        stream.emit('started');
        child.stdout.resume();
      } else {
        firstLine = undefined; // a report without the start-up line: start-up failed
        report += line + '\n' + rest;
      }
      return;
    }
    report += text;
  });
  child.stderr.on('end', () => {
    if (typeof firstLine === 'string') report += firstLine;
    firstLine = undefined;
    child.stdout.resume();
  });

  child.on('error', (err) => stream.destroy(err)); // e.g. ENOENT: brisvane.exe not found
  // 'close': the process has ended and both pipes are drained.
  child.on('close', (status, signal) => {
    if (stream.destroyed) return;
    // A whole frame is the unit of the stream; a partial one can only be left when the
    // process was ended from outside in the middle of a write.
    if (stopping) stream.push(null);
    else stream.destroy(new BrisvaneError(status, signal, report));
  });
  return stream;
}

module.exports = {
  capture,
  defaultCommand,
  parseReport,
  BrisvaneError,
  FRAME_BYTES,
  FRAME_SAMPLES,
  SAMPLE_RATE,
  CHANNELS,
};
