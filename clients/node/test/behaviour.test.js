'use strict';
// The behaviour every client package shares (clients/behaviour-cases.json): each case run
// against fake-program.js playing its program, one test per case, each bounded in time.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { setTimeout: sleep } = require('node:timers/promises');
const { Capture, devices } = require('..');

const TABLE = require('../../behaviour-cases.json');
const BOUND_MS = 10000; // a case that takes longer hangs (its program left running)

// Whether a process runs (an orphan that ended may stay a zombie here: it counts as ended).
function alive(pid) {
  try {
    return process.kill(pid, 0) && !/State:\s+Z/.test(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));
  } catch {
    return false;
  }
}

// The table's options in this package's spelling.
function optionsOf({ rate, channels, sampleType, timeline, fillLagMs, source, restart, follow, maxQueuedFrames }) {
  const options = { format: { rate, channels, sampleType }, timeline, fillLagMs, maxQueuedFrames };
  if (source !== undefined) options.source = source === 'allButThisApp' ? 'all-but-this-app' : source;
  if (restart || follow) {
    options.restart = { maxAttempts: restart?.attempts, delayMs: restart?.delayMs, maxDelayMs: restart?.maxDelayMs, onDefaultChange: follow };
  }
  return JSON.parse(JSON.stringify(options)); // what is not given takes the package's default
}

const neutral = {
  device: (d) => ({ device: d && { id: d.id, name: d.name, default: d.isDefault } }),
  gap: (g) => ({ gap: { start: g.start, length: g.length, reason: g.reason === 'restart' ? 'reopen' : g.reason, filled: g.filled } }),
  restart: (r) => ({ reopen: { reason: r.reason, attempt: r.attempt, delayMs: r.delayMs, hresult: r.error && hex(r.error.hresult), code: r.error && r.error.code } }),
  dropped: (d) => ({ dropped: { frames: d.frames, total: d.totalFrames } }),
};
const hex = (value) => `0x${value.toString(16).toUpperCase().padStart(8, '0')}`;
const pattern = (n, sampleType) => (sampleType === 'f32' ? (n % 1048576) / 1048576 - 0.5 : (n % 65536) - 32768);

// The expected frames with their repeats written out; the samples as the pattern gives them.
function expectedFrames(frames, { rate = 48000, channels = 2, sampleType = 'f32' }) {
  return frames.flatMap((f) => Array.from({ length: f.repeat ?? 1 }, (_, k) => {
    const step = k * Math.floor((f.count * 1e7) / rate);
    const index = f.index + k * f.count;
    const samples = Array.from({ length: f.count * channels }, (_, i) => (f.flags & 8 ? 0 : pattern(index * channels + i, sampleType)));
    if (k === 0) assert.deepEqual([samples[0], samples.at(-1)], [f.first, f.last], 'the table agrees with its pattern');
    return { index, count: f.count, qpc: f.qpc + step, system: f.system + step, flags: f.flags, samples };
  }));
}

// The device that the program named last before each audio record, by the record's index.
function devicesOfFrames(program) {
  const named = new Map();
  let device;
  for (const step of program) {
    if (step.record === 'DEVI') device = step.id === '' ? null : { id: step.id, name: step.name, default: (step.flags & 1) === 1 };
    for (let k = 0; step.record === 'AUDI' && k < (step.repeat ?? 1); k++) named.set(step.index + k * step.count, device);
  }
  return named;
}

async function play(testCase) {
  const state = fs.mkdtempSync(path.join(os.tmpdir(), 'brisvane-case-'));
  fs.writeFileSync(path.join(state, 'case.json'), JSON.stringify(testCase));
  const program = testCase.missing ? [path.join(state, 'nowhere', 'brisvane-capture.exe')]
    : [process.execPath, path.join(__dirname, 'fake-program.js'), state];
  const { consumer, expect } = testCase;
  if (consumer.listDevices) {
    const listed = await devices({ program });
    assert.deepEqual(listed.map(neutral.device).map((e) => e.device), expect.devices);
  } else {
    const capture = new Capture({ ...optionsOf(testCase.options), program });
    const events = [];
    for (const [name, toNeutral] of Object.entries(neutral)) capture.on(name, (e) => events.push(toNeutral(e)));
    const frames = [];
    const deviceOf = devicesOfFrames(testCase.program);
    let error = null;
    try {
      await capture.started;
      if (consumer.stopAfterStart) capture.stop();
      while (consumer.readAfterExit && capture.pid !== null) await sleep(10);
      for await (const frame of capture) {
        frames.push(frame);
        if (deviceOf.get(frame.index) !== undefined) { // the device of the frames read, not of records read ahead
          assert.deepEqual(neutral.device(capture.device).device, deviceOf.get(frame.index), `the device at frame ${frame.index}`);
        }
        if (frames.length === consumer.stopAfterFrames) capture.stop();
      }
    } catch (e) {
      error = e;
    }
    await capture.stop();
    const format = optionsOf(testCase.options).format;
    assert.deepEqual(frames.map((f) => ({ index: f.index, count: f.length / (format.channels ?? 2), qpc: f.qpc, system: f.system,
      flags: f.flags, samples: Array.from(f) })), expectedFrames(expect.frames, format));
    assert.deepEqual(events, expect.events);
    if (expect.error) {
      assert.ok(error, 'the capture ended without an error');
      const got = { code: error.code, status: error.status, context: error.context, causes: error.causes,
        hresult: error.hresult === null ? null : hex(error.hresult), hint: Boolean(error.hint) };
      assert.deepEqual(Object.fromEntries(Object.keys(expect.error).map((k) => [k, got[k]])), expect.error, error.message);
      assert.equal(capture.endReason, null);
    } else {
      assert.equal(error, null);
      assert.equal(capture.endReason, expect.end.reason);
    }
  }
  const runs = fs.readdirSync(state).filter((n) => n.startsWith('run-')).sort()
    .map((n) => JSON.parse(fs.readFileSync(path.join(state, n), 'utf8')));
  if (testCase.args !== null) assert.deepEqual(runs.at(-1).args, testCase.args.map((a) => a.replace('$PID', String(process.pid))));
  assert.deepEqual(runs.filter((run) => alive(run.pid)), [], 'the program was left running');
  fs.rmSync(state, { recursive: true, force: true }); // kept when the case failed
}

for (const testCase of TABLE.cases) test(testCase.name, { timeout: BOUND_MS }, () => play(testCase));
