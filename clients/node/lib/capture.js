'use strict';
// A running capture: the program as a child process, its frames converted to the chosen format
// and handed out as a Readable stream (object mode) that is also an async iterable.
const { spawn } = require('node:child_process');
const { Readable } = require('node:stream');
const { performance } = require('node:perf_hooks');
const { BrisvaneError } = require('./errors');
const { resolveCommand, resolveWatchCommand } = require('./program');
const { watchDefaultDevice } = require('./watcher');
const { FrameConverter, FRAME_BYTES, FRAME_MS, FRAME_SAMPLE_FRAMES, SOURCE_CHANNELS } = require('./format');

const STARTED_LINE = 'brisvane started';
const DEFAULT_QUEUE_FRAMES = 500; // 10 s of audio
// The continuous timeline is filled once nothing has arrived for SILENCE_MS, checked every
// TICK_MS: the stream is never more than FILL_BOUND_MS behind the clock, plus one frame.
const SILENCE_MS = 100;
const TICK_MS = 50;
const FILL_BOUND_MS = SILENCE_MS + TICK_MS + FRAME_MS;
const RESTART_DEFAULTS = { maxAttempts: 5, delayMs: 250, maxDelayMs: 4000, onDefaultChange: false };
// A run that lasted this long before the device went away starts the count of attempts anew.
const STABLE_RUN_MS = 30000;

// Children still running when this process exits are ended with it.
const running = new Set();
let endsChildrenAtExit = false;
function track(child) {
  if (!endsChildrenAtExit) {
    endsChildrenAtExit = true;
    process.on('exit', () => {
      for (const c of running) c.kill();
    });
  }
  running.add(child);
  child.on('close', () => running.delete(child));
}

function restartSettings(option) {
  if (!option) return null;
  return { ...RESTART_DEFAULTS, ...(option === true ? {} : option) };
}

class Capture extends Readable {
  #command;
  #env;
  #converter;
  // What waits for the consumer, oldest first: the program's frames (Float32Array) and runs of
  // filled silence ({ silence: count }), converted as they are handed out.
  #queue = [];
  #queuedAudio = 0; // the program's frames in #queue
  #ending = false; // the stream ends once #queue is empty
  #maxQueued;
  #wanting = false; // the stream asked for a frame and got none yet
  #droppedFrames = 0;
  #dropping = 0; // dropped since the last 'dropped' event
  #child = null;
  #partial = new Uint8Array(FRAME_BYTES);
  #filled = 0;
  #everStarted = false;
  #startWaiters;
  #stopping = false;
  #stopped = null; // the promise stop() returns
  #whenStopped = null;
  #failure = null; // the error to end with once the frames before it are read
  #continuous;
  #clockStart = 0;
  #timelineFrames = 0;
  #gapFrames = 0;
  #lastDataAt = 0;
  #ticker = null;
  #restart;
  #attempts = 0;
  #restarts = 0;
  #restarting = null; // the reason of the restart under way
  #restartTimer = null;
  #runStartedAt = 0;
  #stopWatching = null; // ends brisvane-watch.exe while the default device is followed
  #device = null; // the default device as the watcher last told it: { id, name }
  #awaitingDevice = false; // no default device: the program is started again when one comes

  constructor(options = {}) {
    super({ objectMode: true, highWaterMark: 1 });
    const { format, timeline = 'exact', restart = false, maxQueuedFrames = DEFAULT_QUEUE_FRAMES,
      signal, env } = options;
    if (timeline !== 'exact' && timeline !== 'continuous') {
      throw new TypeError(`timeline must be 'exact' or 'continuous', not ${JSON.stringify(timeline)}`);
    }
    if (!Number.isInteger(maxQueuedFrames) || maxQueuedFrames < 1) {
      throw new TypeError('maxQueuedFrames must be a positive integer');
    }
    this.#converter = new FrameConverter(format);
    this.#continuous = timeline === 'continuous';
    this.#restart = restartSettings(restart);
    this.#maxQueued = maxQueuedFrames;
    this.#env = env ?? process.env;
    this.#command = resolveCommand({ program: options.program, env: this.#env });
    this.started = new Promise((resolve, reject) => {
      this.#startWaiters = { resolve, reject };
    });
    this.started.catch(() => {}); // start() hands the rejection on; nobody else must see it
    if (signal) {
      if (signal.aborted) {
        this.#rejectStart(signal.reason);
        this.destroy();
        return;
      }
      const onAbort = () => this.stop();
      signal.addEventListener('abort', onAbort, { once: true });
      this.once('close', () => signal.removeEventListener('abort', onAbort));
      this.#signal = signal;
    }
    if (this.#restart?.onDefaultChange) this.#watch(options.watcher);
    this.#launch();
  }

  #signal = null;

  /** The output format: { sampleType, rate, channels, samplesPerFrame }. */
  get format() {
    return { ...this.#converter.format };
  }

  get droppedFrames() {
    return this.#droppedFrames;
  }

  get gapFrames() {
    return this.#gapFrames;
  }

  get restarts() {
    return this.#restarts;
  }

  /** The default output device, { id, name }, while it is followed; null before it is known or when there is none. */
  get device() {
    return this.#device && { ...this.#device };
  }

  /** The running program's process id, or null between runs. */
  get pid() {
    return this.#child?.pid ?? null;
  }

  /** Ends the capture: resolves once the program has exited. Frames already queued stay readable. */
  stop() {
    if (this.#stopped) return this.#stopped;
    this.#stopped = new Promise((resolve) => {
      this.#whenStopped = resolve;
    });
    this.#stopping = true;
    clearTimeout(this.#restartTimer);
    const watcherExited = this.#unwatch();
    if (this.#child) this.#child.kill();
    else this.#finish();
    this.#stopped = Promise.all([this.#stopped, watcherExited]).then(() => {});
    return this.#stopped;
  }

  _read() {
    this.#wanting = true;
    this.#drain(true);
  }

  // Hands queued frames to the stream, converted, while it wants them; then ends it if the
  // capture has ended. `reading`: called as the stream hands out its last buffered frame.
  #drain(reading) {
    while (this.#wanting && this.#queue.length > 0) {
      const head = this.#queue[0];
      let raw = head;
      if (head instanceof Float32Array) {
        this.#queue.shift();
        this.#queuedAudio -= 1;
      } else {
        raw = new Float32Array(FRAME_SAMPLE_FRAMES * SOURCE_CHANNELS);
        if (--head.silence === 0) this.#queue.shift();
      }
      this.#wanting = this.push(this.#converter.convert(raw));
    }
    if (this.#queue.length > 0 || this.destroyed) return;
    if (this.#ending) {
      this.#ending = false;
      this.push(null);
    } else if (this.#failure && this.readableLength <= (reading ? 1 : 0)) {
      process.nextTick(() => this.destroy(this.#failure));
    }
  }

  _destroy(error, callback) {
    this.#stopping = true;
    clearTimeout(this.#restartTimer);
    clearInterval(this.#ticker);
    this.#unwatch();
    this.#child?.kill();
    if (!this.#everStarted) this.#rejectStart(error ?? new BrisvaneError({ context: 'the capture was stopped' }));
    callback(error);
  }

  #launch() {
    const [file, ...args] = this.#command;
    const child = spawn(file, args, { stdio: ['ignore', 'pipe', 'pipe'], windowsHide: true, env: this.#env });
    this.#child = child;
    track(child);
    this.#filled = 0;
    let stderr = '';
    let lineSeen = false;
    let held = []; // audio read before the start-up line was (the pipes are read apart)
    let spawnError = null;
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (text) => {
      stderr += text;
      if (lineSeen || this.#child !== child) return;
      const end = stderr.indexOf('\n');
      if (end < 0) return;
      lineSeen = true;
      if (stderr.slice(0, end).replace(/\r$/, '') !== STARTED_LINE) return; // a report: start-up failed
      stderr = stderr.slice(end + 1);
      this.#onStarted();
      for (const chunk of held) this.#onData(chunk);
      held = null;
    });
    // Always read at once, whatever the consumer does: a program blocked on a full pipe
    // would lose audio in the engine.
    child.stdout.on('data', (chunk) => {
      if (this.#child !== child) return; // a run ended for a new default device
      if (held) held.push(chunk);
      else this.#onData(chunk);
    });
    child.on('error', (error) => {
      spawnError = error;
    });
    child.on('close', (status, signal) => {
      if (this.#child !== child) return;
      this.#child = null;
      let error;
      if (spawnError && child.pid === undefined) {
        error = new BrisvaneError({
          code: spawnError.code === 'ENOENT' ? 'PROGRAM_NOT_FOUND' : 'SPAWN_FAILED',
          context: `it could not be started (${this.#command.join(' ')}): ${spawnError.message}`,
          hint: 'Check the program option or BRISVANE_COMMAND', cause: spawnError,
        });
      } else {
        error = new BrisvaneError({ status, signal, report: stderr });
      }
      this.#onEnd(error);
    });
  }

  #onStarted() {
    const now = performance.now();
    this.#runStartedAt = now;
    this.#lastDataAt = now;
    if (!this.#everStarted) {
      this.#everStarted = true;
      this.#clockStart = now;
      if (this.#continuous) this.#ticker = setInterval(() => this.#fill(), TICK_MS);
      this.#startWaiters.resolve(this);
    }
    this.emit('started', { restarts: this.#restarts });
  }

  #onData(chunk) {
    if (this.destroyed) return;
    // Audio after a silence or a restart goes where the clock says: fill up to now first.
    if (this.#continuous && performance.now() - this.#lastDataAt >= SILENCE_MS) this.#fill(true);
    this.#lastDataAt = performance.now();
    this.#restarting = null;
    let offset = 0;
    while (offset < chunk.length) {
      const n = Math.min(FRAME_BYTES - this.#filled, chunk.length - offset);
      this.#partial.set(chunk.subarray(offset, offset + n), this.#filled);
      this.#filled += n;
      offset += n;
      if (this.#filled === FRAME_BYTES) {
        // Float32Array is little-endian on every machine that runs Windows programs.
        const frame = new Float32Array(this.#partial.buffer);
        this.#partial = new Uint8Array(FRAME_BYTES);
        this.#filled = 0;
        this.#enqueue(frame);
      }
    }
    this.#reportDrops();
  }

  // Queues the program's frame, dropping the oldest beyond the bound (runs of silence take no
  // room and are never dropped), and hands out what the stream wants.
  #enqueue(raw) {
    this.#timelineFrames += 1;
    this.#queue.push(raw);
    this.#queuedAudio += 1;
    if (this.#queuedAudio > this.#maxQueued) {
      this.#queue.splice(this.#queue.findIndex((entry) => entry instanceof Float32Array), 1);
      this.#queuedAudio -= 1;
      this.#droppedFrames += 1;
      this.#dropping += 1;
    }
    this.#drain(false);
  }

  #reportDrops() {
    if (this.#dropping === 0) return;
    const frames = this.#dropping;
    this.#dropping = 0;
    this.emit('dropped', { frames, ms: frames * FRAME_MS, totalFrames: this.#droppedFrames });
  }

  // Continuous timeline: silence by the clock once nothing has come for a while.
  #fill(force = false) {
    const now = performance.now();
    if (!force && now - this.#lastDataAt < SILENCE_MS) return;
    const due = Math.floor((now - this.#clockStart) / FRAME_MS) - this.#timelineFrames;
    if (due <= 0) return;
    this.#timelineFrames += due;
    this.#gapFrames += due;
    const last = this.#queue.at(-1);
    if (last && !(last instanceof Float32Array)) last.silence += due;
    else this.#queue.push({ silence: due });
    this.emit('gap', { frames: due, ms: due * FRAME_MS, reason: this.#restarting ? 'restart' : 'silence',
      totalFrames: this.#gapFrames });
    this.#drain(false);
  }

  #onEnd(error) {
    if (this.#stopping) {
      this.#finish();
      return;
    }
    if (!this.#everStarted) {
      this.#rejectStart(error);
      this.destroy();
      return;
    }
    if (this.#runStartedAt > 0 && performance.now() - this.#runStartedAt >= STABLE_RUN_MS) this.#attempts = 0;
    if (this.#restart && error.deviceLost && this.#attempts < this.#restart.maxAttempts) {
      this.#restartNow('device-lost', { error, device: this.#device?.name ?? null });
      return;
    }
    this.#fail(error);
  }

  // Starts the program again: after a back-off when it ended with AUDCLNT_E_DEVICE_INVALIDATED
  // ('device-lost'), at once when the default device changed ('default-changed').
  #restartNow(reason, { error = null, device = null }) {
    const { delayMs, maxDelayMs } = this.#restart;
    if (reason === 'default-changed') this.#attempts = 0;
    const delay = reason === 'default-changed' ? 0 : Math.min(maxDelayMs, delayMs * 2 ** this.#attempts);
    this.#attempts += 1;
    this.#restarts += 1;
    this.#restarting = reason;
    this.emit('restart', { reason, attempt: this.#attempts, delayMs: delay, error, device });
    this.#runStartedAt = 0;
    this.#restartTimer = setTimeout(() => {
      this.#restartTimer = null;
      if (!this.#stopping) this.#launch();
    }, delay);
  }

  #watch(watcher) {
    // Reported once start() has resolved, so that listeners added then see it.
    const warn = (error) => this.started.then(() => setImmediate(() => this.emit('warning', error)), () => {});
    let command;
    try {
      command = resolveWatchCommand({ watcher, env: this.#env });
    } catch (error) {
      warn(error);
      return;
    }
    this.#stopWatching = watchDefaultDevice(command, { env: this.#env, track,
      onLine: (line) => this.#onDefault(line.kind === 'default' ? { id: line.id, name: line.name } : null),
      onFailure: (error) => {
        this.#stopWatching = null;
        this.#awaitingDevice = false; // what runs, or the last device, is captured from now on
        if (!this.#child && !this.#restartTimer && !this.#stopping && !this.#failure && this.#everStarted) {
          this.#restartNow('device-lost', {});
        }
        warn(error);
      },
    });
  }

  #unwatch() {
    const stop = this.#stopWatching;
    this.#stopWatching = null;
    return stop?.();
  }

  // The watcher's line: the program follows the default device to another one; without one
  // it ends and waits.
  #onDefault(device) {
    const first = this.#device === null && !this.#awaitingDevice;
    if (device?.id === this.#device?.id && !first) return;
    this.#device = device;
    this.emit('device', device && { ...device });
    if (first && device) return; // the device the program opened at start
    if (this.#stopping || this.#failure || !this.#everStarted) return;
    const old = this.#child;
    this.#child = null;
    old?.kill();
    clearTimeout(this.#restartTimer);
    this.#restartTimer = null;
    this.#awaitingDevice = device === null;
    if (device) this.#restartNow('default-changed', { device: device.name });
    else this.#restarting = 'default-changed';
  }

  #fail(error) {
    this.#unwatch();
    clearInterval(this.#ticker);
    this.#failure = error;
    this.#drain(false);
  }

  #finish() {
    this.#unwatch();
    clearInterval(this.#ticker);
    if (this.#continuous && this.#everStarted && !this.destroyed) this.#fill();
    if (!this.#everStarted) this.#rejectStart(this.#signal?.aborted ? this.#signal.reason
      : new BrisvaneError({ context: 'the capture was stopped before it started' }));
    this.#ending = true;
    this.#drain(false);
    this.#whenStopped?.();
  }

  #rejectStart(error) {
    this.#startWaiters.reject(error);
  }
}

// Starts a capture; resolves once the program has announced that capture runs.
async function start(options) {
  const capture = new Capture(options);
  return capture.started;
}

module.exports = { Capture, start, FILL_BOUND_MS, STARTED_LINE };
