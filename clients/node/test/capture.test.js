'use strict';
// The client against a fake program that speaks the protocol (fake-program.js).
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { setTimeout: sleep } = require('node:timers/promises');
const { start, BrisvaneError, FRAME_MS, FILL_BOUND_MS } = require('..');
const { frameSamples } = require('./signal');

const STARTED = { stderr: 'brisvane started\n' };
const INVALIDATED = 'Error: failed to read WASAPI loopback samples\n\nCaused by:\n' +
  '    0: Windows returned an error: gone (0x88890004)\n    1: gone (0x88890004)\n';

function fake(...runs) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'brisvane-fake-'));
  const planFile = path.join(dir, 'plan.json');
  fs.writeFileSync(planFile, JSON.stringify(runs));
  return {
    program: [process.execPath, path.join(__dirname, 'fake-program.js'), planFile],
    runs: () => Number(fs.readFileSync(`${planFile}.count`, 'utf8')),
    pid: (run) => Number(fs.readFileSync(`${planFile}.pid${run}`, 'utf8')),
  };
}

function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
}

async function collect(capture) {
  const frames = [];
  let error = null;
  try {
    for await (const frame of capture) frames.push(frame);
  } catch (e) {
    error = e;
  }
  return { frames, error };
}

test('frames arrive whole and exact however the pipe splits them, then the report ends the stream', async () => {
  const f = fake([STARTED, { frames: 7, from: 0, split: [1, 4093, 7, 10000, 3] }, { stderr: INVALIDATED }, { exit: 1 }]);
  const capture = await start({ program: f.program });
  const { frames, error } = await collect(capture);
  assert.deepEqual(frames, Array.from({ length: 7 }, (_, k) => frameSamples(k)));
  assert.ok(error instanceof BrisvaneError);
  assert.equal(error.status, 1);
  assert.equal(error.code, 'DEVICE_INVALIDATED');
  assert.equal(error.hresult, 0x88890004);
  assert.equal(error.context, 'failed to read WASAPI loopback samples');
  assert.equal(error.report, INVALIDATED);
  assert.match(error.message, /^brisvane exited with status 1: failed to read WASAPI .*\(0x88890004\)\. The audio output device went away/);
});

test('a failed start-up rejects with the parsed report and the status', async (t) => {
  const cases = [
    [1, 'Error: failed to open default render endpoint\n\nCaused by:\n    0: Windows returned an error: 0x80040154\n    1: 0x80040154\n',
      'CLASS_NOT_REGISTERED', 0x80040154, 'failed to open default render endpoint'],
    [1, 'Error: failed to initialize COM\n\nCaused by:\n    0: Windows returned an error: x (0x12345678)\n    1: x (0x12345678)\n',
      null, 0x12345678, 'failed to initialize COM'],
    [101, '', 'STARTUP_LINE_FAILED', null, null],
    [102, 'brisvane: out of memory\n', 'OUT_OF_MEMORY', null, 'brisvane: out of memory'],
  ];
  for (const [status, report, code, hresult, context] of cases) {
    await t.test(`status ${status} ${code}`, async () => {
      const f = fake([{ stderr: report }, { exit: status }]);
      const error = await start({ program: f.program }).catch((e) => e);
      assert.ok(error instanceof BrisvaneError, String(error));
      assert.deepEqual([error.status, error.code, error.hresult, error.context, error.report],
        [status, code, hresult, context, report]);
    });
  }
  const missing = await start({ program: ['/nonexistent/brisvane.exe'] }).catch((e) => e);
  assert.equal(missing.code, 'PROGRAM_NOT_FOUND');
});

test('stop() and an AbortSignal end the stream cleanly and resolve once the program has exited', async () => {
  const f = fake([STARTED, { frames: 3, from: 0 }]);
  const capture = await start({ program: f.program });
  const pid = capture.pid;
  const got = [];
  for await (const frame of capture) {
    got.push(frame);
    if (got.length === 3) await capture.stop();
  }
  assert.equal(got.length, 3);
  assert.equal(alive(pid), false);

  const g = fake([STARTED, { frames: 2, from: 0 }]);
  const controller = new AbortController();
  const aborted = await start({ program: g.program, signal: controller.signal });
  setTimeout(() => controller.abort(), 200);
  const { frames, error } = await collect(aborted);
  assert.equal(error, null);
  assert.equal(frames.length, 2);

  const h = fake([{ sleep: 5000 }]);
  const early = new AbortController();
  const pending = start({ program: h.program, signal: early.signal });
  setTimeout(() => early.abort(), 500);
  assert.equal((await pending.catch((e) => e)).name, 'AbortError');
  await sleep(100);
  assert.equal(alive(h.pid(0)), false);
});

test('a consumer that falls behind loses the oldest frames, counted, and never stalls the program', async () => {
  const f = fake([STARTED, { frames: 40, from: 0 }, { stderr: 'done\n' }, { sleep: 200 }, { exit: 1 }]);
  const capture = await start({ program: f.program, maxQueuedFrames: 10 });
  const dropped = [];
  capture.on('dropped', (event) => dropped.push(event));
  await sleep(500); // not reading: the program still writes everything and ends
  const { frames, error } = await collect(capture);
  assert.equal(error.status, 1);
  const total = dropped.reduce((sum, e) => sum + e.frames, 0);
  assert.equal(capture.droppedFrames, total);
  assert.equal(dropped.at(-1).totalFrames, total);
  assert.ok(frames.length <= 11 && frames.length + total === 40, `${frames.length} read, ${total} dropped`);
  // The newest frames are kept, in order.
  assert.deepEqual(frames, Array.from({ length: frames.length }, (_, i) => frameSamples(40 - frames.length + i)));
});

test('the continuous timeline fills silence by the clock and never moves or repeats real audio', async () => {
  const f = fake([STARTED, { frames: 10, from: 0 }, { sleep: 1000 }, { frames: 10, from: 10 }]);
  const capture = await start({ program: f.program, timeline: 'continuous' });
  const t0 = performance.now();
  const gaps = [];
  capture.on('gap', (gap) => gaps.push(gap));
  const real = [];
  let length = 0;
  capture.on('data', (frame) => {
    length += 1;
    if (frame.some((v) => v !== 0)) real.push([length, frame]);
  });
  await sleep(1800);
  const elapsed = performance.now() - t0;
  const clock = length * FRAME_MS;
  await capture.stop();
  assert.deepEqual(real.map(([, frame]) => frame), Array.from({ length: 20 }, (_, k) => frameSamples(k)));
  // The second burst comes after the silence it followed, not straight after the first.
  assert.ok(real[10][0] - real[9][0] >= 1000 / FRAME_MS - 10, `second burst at frame ${real[10][0]}`);
  assert.ok(gaps.every((g) => g.reason === 'silence' && g.ms === g.frames * FRAME_MS));
  assert.equal(gaps.reduce((s, g) => s + g.frames, 0), capture.gapFrames);
  assert.equal(capture.gapFrames + 20, length);
  assert.ok(clock <= elapsed + 2 * FRAME_MS && clock >= elapsed - FILL_BOUND_MS - FRAME_MS,
    `${clock} ms of stream after ${elapsed.toFixed(0)} ms`);
});

test('restart: a device loss starts the program again, with back-off and a limit; other failures end it', async () => {
  const lost = [STARTED, { frames: 2, from: 0 }, { stderr: INVALIDATED }, { exit: 1 }];
  const f = fake(lost, [STARTED, { frames: 2, from: 2 }, { stderr: 'Error: failed to write PCM frame\n' }, { exit: 1 }]);
  const capture = await start({ program: f.program, restart: { delayMs: 50 }, timeline: 'continuous' });
  const restarts = [];
  const gaps = [];
  capture.on('restart', (r) => restarts.push(r));
  capture.on('gap', (g) => gaps.push(g.reason));
  const { frames, error } = await collect(capture);
  assert.ok(gaps.includes('restart'), `gaps: ${gaps}`);
  const real = frames.filter((frame) => frame.some((v) => v !== 0));
  assert.deepEqual(real, [0, 1, 2, 3].map(frameSamples));
  assert.equal(restarts.length, 1);
  assert.deepEqual([restarts[0].reason, restarts[0].attempt, restarts[0].delayMs, restarts[0].error.code, restarts[0].device],
    ['device-lost', 1, 50, 'DEVICE_INVALIDATED', null]);
  assert.equal(error.context, 'failed to write PCM frame');
  assert.equal(f.runs(), 2);

  const g = fake(lost, [{ stderr: INVALIDATED }, { exit: 1 }]);
  const limited = await start({ program: g.program, restart: { delayMs: 10, maxAttempts: 3 } });
  const delays = [];
  limited.on('restart', (r) => delays.push(r.delayMs));
  const end = await collect(limited);
  assert.deepEqual(delays, [10, 20, 40]);
  assert.equal(end.error.code, 'DEVICE_INVALIDATED');
  assert.equal(g.runs(), 4);

  const h = fake(lost);
  assert.equal((await collect(await start({ program: h.program }))).error.code, 'DEVICE_INVALIDATED');
  assert.equal(h.runs(), 1);
});
