'use strict';
// A running capture: brisvane-capture.exe as a child process, its records read as they come,
// its frames handed out as a Readable stream (object mode) that is also an async iterable.
const { Readable } = require('node:stream');
const { BrisvaneError } = require('./errors');
const { resolveCommand, startProgram } = require('./program');
const { captureSettings, FRAME_MS } = require('./arguments');
const { deviceId } = require('./devices');
const { FRAME_FLAGS, RecordSplitter, RecordError, readHead, readAudio, readGap, readDevice, readReopen, readEnd } = require('./records');

const STARTED_LINE = /(?<=^|\n)brisvane-capture started\r?\n/;
// How long the program has to end by itself once its standard input is closed.
const STOP_BOUND_MS = 2000;
const GAP_REASONS = [null, 'silence', 'discontinuity', 'restart', 'no-device'];
const RESTART_REASONS = [null, 'device-lost', 'default-changed', 'device-back'];
const CLEAN_ENDS = [null, 'stopped', 'app-exited'];

class Capture extends Readable {
  #settings;
  #command;
  #env;
  #queue = []; // frames waiting for the consumer, oldest first
  #wanting = false; // the stream asked for a frame and got none yet
  #ending = false; // the stream ends once #queue is empty
  #failure = null; // the error to end with once the frames before it are read
  #droppedFrames = 0;
  #dropping = 0; // dropped since the last 'dropped' event
  #gapFrames = 0;
  #restarts = 0;
  #device = null; // as the program named it last
  #readDevice = null; // the device of the frames read (the program may be ahead of the consumer)
  #deviceOf = new WeakMap(); // frame -> the device it came from
  #endReason = null;
  #child = null;
  #head = null;
  #end = null; // the END_ record
  #streamError = null; // a record that could not be read
  #report = ''; // standard error, but the start-up line
  #everStarted = false;
  #startWaiters;
  #stopRequested = false;
  #stopped = null; // the promise stop() returns
  #whenStopped = () => {};
  #exited = false;
  #killTimer = null;
  #signal = null;

  constructor(options = {}) {
    super({ objectMode: true, highWaterMark: 1 });
    this.#settings = captureSettings(options);
    this.#env = options.env ?? process.env;
    this.#command = resolveCommand({ program: options.program, env: this.#env });
    this.started = new Promise((resolve, reject) => {
      this.#startWaiters = { resolve, reject };
    });
    this.started.catch(() => {}); // start() hands the rejection on; nobody else must see it
    const { signal } = options;
    if (signal) {
      if (signal.aborted) {
        this.#exited = true;
        this.#abandon(signal.reason);
        return;
      }
      const onAbort = () => this.stop();
      signal.addEventListener('abort', onAbort, { once: true });
      this.once('close', () => signal.removeEventListener('abort', onAbort));
      this.#signal = signal;
    }
    this.#launch(options.program);
  }

  /** The output format: { sampleType, rate, channels, samplesPerFrame }. */
  get format() {
    return { ...this.#settings.format };
  }

  get droppedFrames() {
    return this.#droppedFrames;
  }

  /** Frames of silence that the continuous timeline added. */
  get gapFrames() {
    return this.#gapFrames;
  }

  /** The program's attempts to open the source again. */
  get restarts() {
    return this.#restarts;
  }

  /** The device of the frames read, { id, name, isDefault }; null before it is known, when there is none, or for an application. */
  get device() {
    return this.#readDevice && { ...this.#readDevice };
  }

  /** The program's process id, or null before it runs and after it has ended. */
  get pid() {
    return this.#exited ? null : this.#child?.pid ?? null;
  }

  /** Why the stream ended cleanly: 'stopped' or 'app-exited'; null before its end or after an error. */
  get endReason() {
    return this.#endReason;
  }

  /** Ends the capture: resolves once the program has exited. Frames already queued stay readable. */
  stop() {
    if (this.#stopped) return this.#stopped;
    this.#stopRequested = true;
    this.#stopped = new Promise((resolve) => {
      this.#whenStopped = resolve;
    });
    if (this.#exited) this.#whenStopped();
    else if (this.#child) this.#endChild(STOP_BOUND_MS);
    return this.#stopped;
  }

  _read() {
    this.#wanting = true;
    if (this.#queue.length === 0) this.#readDevice = this.#device; // the consumer has read all there is
    this.#drain(true);
  }

  emit(event, ...args) {
    if (event === 'data' && this.#deviceOf.has(args[0])) this.#readDevice = this.#deviceOf.get(args[0]);
    return super.emit(event, ...args);
  }

  _destroy(error, callback) {
    this.#stopRequested = true;
    this.#endChild(0);
    if (!this.#everStarted) this.#rejectStart(error);
    callback(error);
  }

  // Closes the program's standard input, which ends it cleanly, and kills it after `boundMs`.
  #endChild(boundMs) {
    const child = this.#child;
    if (!child || this.#exited) return;
    child.stdin.end();
    clearTimeout(this.#killTimer);
    this.#killTimer = setTimeout(() => child.kill(), boundMs);
  }

  async #launch(program) {
    let [args, device] = this.#settings.source;
    try {
      if (device !== null) args = ['--device', await deviceId(device, { program, env: this.#env })];
    } catch (error) {
      this.#exited = true;
      this.#abandon(error);
      return;
    }
    if (this.#stopRequested) { // stop(), abort or destroy() while the device was looked up
      this.#onClose(null);
      return;
    }
    const splitter = new RecordSplitter((type, body) => this.#onRecord(type, body));
    const child = startProgram(this.#command, [...args, ...this.#settings.args], this.#env,
      (error, status, signal) => this.#onClose(error ?? this.#outcome(status, signal)));
    this.#child = child;
    child.stderr.setEncoding('utf8');
    let lines = '';
    child.stderr.on('data', (text) => {
      if (this.#everStarted) {
        this.#report += text;
        return;
      }
      lines += text;
      const line = STARTED_LINE.exec(lines);
      if (!line) return;
      this.#report += lines.slice(0, line.index) + lines.slice(line.index + line[0].length);
      this.#onStarted();
    });
    child.stderr.on('end', () => {
      if (!this.#everStarted) this.#report += lines;
    });
    // Always read at once, whatever the consumer does: a program blocked on a full pipe
    // would lose audio in the engine.
    child.stdout.on('data', (chunk) => {
      if (this.#streamError || this.destroyed) return;
      try {
        splitter.push(chunk);
      } catch (error) {
        if (!(error instanceof RecordError)) throw error;
        this.#streamError = error;
        this.#endChild(0);
      }
    });
  }

  // Ends a capture that did not start: start() rejects with `error`.
  #abandon(error) {
    this.#rejectStart(error);
    this.destroy();
  }

  #rejectStart(error) {
    this.#startWaiters.reject(error ?? new BrisvaneError({ program: 'brisvane', context: 'capture was stopped before it started' }));
  }

  #onStarted() {
    if (this.#everStarted) return;
    this.#everStarted = true;
    this.#startWaiters.resolve(this);
    this.emit('started', { restarts: this.#restarts });
  }

  #onRecord(type, body) {
    if (this.#head === null) {
      if (type !== 'HEAD') throw new RecordError(`a stream that begins with ${JSON.stringify(type)}, not HEAD`);
      this.#head = readHead(body);
      return;
    }
    switch (type) {
      case 'AUDI': {
        const frame = readAudio(body, this.#head);
        if (frame.flags & FRAME_FLAGS.FILLED) this.#gapFrames += 1;
        this.#enqueue(frame);
        break;
      }
      case 'GAP_': {
        const gap = readGap(body);
        this.emit('gap', { ...gap, reason: GAP_REASONS[gap.reason] ?? 'unknown', ms: (gap.length * 1000) / this.#head.rate });
        break;
      }
      case 'DEVI': {
        const device = readDevice(body);
        this.#device = device.id === '' ? null : device;
        if (this.#queue.length === 0 && this.readableLength === 0) this.#readDevice = this.#device;
        this.emit('device', this.#device && { ...this.#device });
        if (device.id === '') this.#onStarted(); // waiting for a device is capture running
        break;
      }
      case 'REOP': {
        const reopen = readReopen(body);
        this.#restarts += 1;
        const error = reopen.hresult === 0 ? null : new BrisvaneError({ hresult: reopen.hresult, context: 'lost its source' });
        this.emit('restart', { reason: RESTART_REASONS[reopen.reason] ?? 'unknown', attempt: reopen.attempt, delayMs: reopen.delayMs, error });
        break;
      }
      case 'END_':
        this.#end = readEnd(body);
        break;
      default: // a record of a later version: skipped
    }
  }

  // Queues a frame, dropping the oldest beyond the bound, and hands out what the stream wants.
  #enqueue(frame) {
    this.#deviceOf.set(frame, this.#device);
    this.#queue.push(frame);
    if (this.#queue.length > this.#settings.maxQueuedFrames) {
      this.#queue.shift();
      this.#droppedFrames += 1;
      this.#dropping += 1;
    }
    this.#drain(false);
  }

  // Says how many frames were lost just before the next one that is handed out (or the end).
  #reportDrops() {
    if (this.#dropping === 0) return;
    const frames = this.#dropping;
    this.#dropping = 0;
    this.emit('dropped', { frames, ms: frames * FRAME_MS, totalFrames: this.#droppedFrames });
  }

  // Hands queued frames to the stream while it wants them; then ends it if the capture has
  // ended. `reading`: called as the stream hands out its last buffered frame.
  #drain(reading) {
    while (this.#wanting && this.#queue.length > 0) {
      this.#reportDrops();
      this.#wanting = this.push(this.#queue.shift());
    }
    if (this.#queue.length > 0 || this.destroyed) return;
    if (this.#ending) {
      this.#ending = false;
      this.push(null);
    } else if (this.#failure && this.readableLength <= (reading ? 1 : 0)) {
      process.nextTick(() => this.destroy(this.#failure));
    }
  }

  // How the program ended: null for a clean end, else the error.
  #outcome(status, signal) {
    const report = this.#report;
    if (this.#streamError) {
      // Ended from here: its status says nothing.
      return new BrisvaneError({ report, code: this.#streamError.code, context: `wrote ${this.#streamError.message}` });
    }
    const reason = CLEAN_ENDS[this.#end?.reason];
    if (reason) {
      this.#endReason = reason;
      return null;
    }
    if (this.#end === null && this.#stopRequested) {
      this.#endReason = 'stopped'; // ended from here before it could end its stream
      return null;
    }
    return new BrisvaneError({ status, signal, report, hresult: this.#end?.hresult });
  }

  #onClose(error) {
    this.#exited = true;
    clearTimeout(this.#killTimer);
    if (!this.#everStarted) {
      if (error || this.#stopRequested) {
        this.#abandon(error ?? this.#signal?.reason);
        this.#whenStopped();
        return;
      }
      this.#onStarted(); // an app that exited before capture began: a stream that ends at once
    }
    if (error) this.#failure = error;
    else this.#ending = true;
    this.#drain(false);
    this.#whenStopped();
  }
}

// Starts a capture; resolves once the program has announced that capture runs (or waits for a
// device to capture).
async function start(options) {
  return new Capture(options).started;
}

module.exports = { Capture, start };
