'use strict';
// The client against a fake program that speaks the protocol (fake-program.js).
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { setTimeout: sleep } = require('node:timers/promises');
const { start, Capture, BrisvaneError, FRAME_MS, FILL_BOUND_MS } = require('..');
const { frameSamples } = require('./signal');

const STARTED = { stderr: 'brisvane started\n' };
const INVALIDATED = 'Error: failed to read WASAPI loopback samples\n\nCaused by:\n' +
  '    0: Windows returned an error: gone (0x88890004)\n    1: gone (0x88890004)\n';
const LOST = [STARTED, { frames: 2, from: 0 }, { stderr: INVALIDATED }, { exit: 1 }];
const frameList = (from, count) => Array.from({ length: count }, (_, k) => frameSamples(from + k));

// A fake program playing the runs, one per start; its start count and the pid of each run.
function fake(...runs) {
  const planFile = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'brisvane-fake-')), 'plan.json');
  fs.writeFileSync(planFile, JSON.stringify(runs));
  return {
    program: [process.execPath, path.join(__dirname, 'fake-program.js'), planFile],
    runs: () => Number(fs.readFileSync(`${planFile}.count`, 'utf8')),
    pid: (run) => Number(fs.readFileSync(`${planFile}.pid${run}`, 'utf8')),
  };
}

// Whether a process runs (an orphan that ended may stay a zombie here: it counts as ended).
function alive(pid) {
  try {
    return process.kill(pid, 0) && !/State:\s+Z/.test(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));
  } catch {
    return false;
  }
}

async function collect(capture) {
  const frames = [];
  try {
    for await (const frame of capture) frames.push(frame);
  } catch (error) {
    return { frames, error };
  }
  return { frames, error: null };
}

test('frames arrive whole and exact however the pipe splits them, then the report ends the stream', async () => {
  const f = fake([STARTED, { frames: 7, from: 0, split: [1, 4093, 7, 10000, 3] }, { stderr: INVALIDATED }, { exit: 1 }]);
  const { frames, error } = await collect(await start({ program: f.program }));
  assert.deepEqual(frames, frameList(0, 7));
  assert.ok(error instanceof BrisvaneError);
  assert.deepEqual([error.status, error.code, error.hresult, error.context, error.report],
    [1, 'DEVICE_INVALIDATED', 0x88890004, 'failed to read WASAPI loopback samples', INVALIDATED]);
  assert.match(error.message, /^brisvane exited with status 1: failed to read WASAPI .*\(0x88890004\)\. The audio output device went away/);
});

test('a failed start-up rejects with the parsed report and the status', async () => {
  const cases = [
    [1, 'Error: failed to open default render endpoint\n\nCaused by:\n    0: Windows returned an error: 0x80040154\n    1: 0x80040154\n',
      'CLASS_NOT_REGISTERED', 0x80040154, 'failed to open default render endpoint'],
    [1, 'Error: failed to initialize COM\n\nCaused by:\n    x (0x12345678)\n', null, 0x12345678, 'failed to initialize COM'],
    [101, '', 'STARTUP_LINE_FAILED', null, null],
    [102, 'brisvane: out of memory\n', 'OUT_OF_MEMORY', null, 'brisvane: out of memory'],
  ];
  for (const [status, report, code, hresult, context] of cases) {
    const error = await start({ program: fake([{ stderr: report }, { exit: status }]).program }).catch((e) => e);
    assert.deepEqual([error.name, error.status, error.code, error.hresult, error.context, error.report],
      ['BrisvaneError', status, code, hresult, context, report]);
  }
  assert.equal((await start({ program: ['/nonexistent/brisvane.exe'] }).catch((e) => e)).code, 'PROGRAM_NOT_FOUND');
});

test('stop(), an AbortSignal and process.exit end the program; stop() resolves once it has exited', async () => {
  const capture = await start({ program: fake([STARTED, { frames: 3, from: 0 }]).program });
  const pid = capture.pid;
  const got = [];
  for await (const frame of capture) if (got.push(frame) === 3) await capture.stop();
  assert.equal(got.length, 3);
  assert.equal(alive(pid), false);

  const controller = new AbortController();
  const aborted = await start({ program: fake([STARTED, { frames: 2, from: 0 }]).program, signal: controller.signal });
  setTimeout(() => controller.abort(), 200);
  assert.deepEqual(await collect(aborted), { frames: frameList(0, 2), error: null });

  const early = new AbortController();
  setTimeout(() => early.abort(), 500);
  const slow = fake([{ sleep: 5000 }]);
  assert.equal((await start({ program: slow.program, signal: early.signal }).catch((e) => e)).name, 'AbortError');

  const [f, w] = [fake([{ sleep: 300 }, STARTED, { sleep: 5000 }]), fake([{ stdout: 'none\n' }])]; // the watcher runs by then
  const exits = `require(${JSON.stringify(path.join(__dirname, '..'))}).start({ program: ${JSON.stringify(f.program)}, ` +
    `watcher: ${JSON.stringify(w.program)}, restart: { onDefaultChange: true } }).then(() => process.exit(0))`;
  assert.equal(spawnSync(process.execPath, ['-e', exits]).status, 0);
  await sleep(100);
  assert.deepEqual([alive(slow.pid(0)), alive(f.pid(0)), alive(w.pid(0))], [false, false, false], 'a program outlived abort or process.exit');
});

test('a consumer that falls behind loses the oldest frames, counted, never filled silence, and never stalls the program', async () => {
  const f = fake([STARTED, { frames: 40, from: 0 }, { sleep: 1300 }, { stderr: 'done\n' }, { exit: 1 }]);
  const capture = await start({ program: f.program, maxQueuedFrames: 10, timeline: 'continuous' });
  const dropped = [];
  capture.on('dropped', (event) => dropped.push(event));
  await sleep(1600); // not reading: the program still writes everything and ends
  const { frames, error } = await collect(capture);
  assert.equal(error.status, 1);
  const total = dropped.reduce((sum, e) => sum + e.frames, 0);
  assert.deepEqual([capture.droppedFrames, dropped.at(-1).totalFrames], [total, total]);
  const real = frames.filter((frame) => frame.some((v) => v !== 0));
  assert.ok(real.length <= 11 && real.length + total === 40, `${real.length} read, ${total} dropped`);
  assert.deepEqual(real, frameList(40 - real.length, real.length)); // the newest, in order
  assert.ok(frames.length - real.length === capture.gapFrames && capture.gapFrames > 10, `${capture.gapFrames} filled`);
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
  await sleep(800); // in the silence: filled as it goes (with 100 ms of slack for a loaded machine)
  assert.ok(length * FRAME_MS >= performance.now() - t0 - FILL_BOUND_MS - 100, `${length} frames after 800 ms`);
  await sleep(1000);
  const before = performance.now() - t0;
  await capture.stop(); // fills up to the clock as it ends
  const [after, clock] = [performance.now() - t0, length * FRAME_MS];
  assert.deepEqual(real.map(([, frame]) => frame), frameList(0, 20));
  // The second burst comes after the silence it followed, not straight after the first.
  assert.ok(real[10][0] - real[9][0] >= 1000 / FRAME_MS - 10, `second burst at frame ${real[10][0]}`);
  assert.ok(gaps.every((g) => g.reason === 'silence' && g.ms === g.frames * FRAME_MS));
  assert.equal(gaps.reduce((s, g) => s + g.frames, 0), capture.gapFrames);
  assert.equal(capture.gapFrames + 20, length);
  assert.ok(clock >= before - 2 * FRAME_MS && clock <= after + FRAME_MS, `${clock} ms of stream after ${before.toFixed(0)} ms`);
});

test('restart: a device loss starts the program again, with back-off and a limit; other failures end it', async () => {
  const f = fake(LOST, [STARTED, { frames: 2, from: 2 }, { stderr: 'Error: failed to write PCM frame\n' }, { exit: 1 }]);
  const capture = await start({ program: f.program, restart: { delayMs: 300 }, timeline: 'continuous' });
  const events = [];
  capture.on('restart', (r) => events.push([r.reason, r.attempt, r.delayMs, r.error.code, r.device]));
  capture.on('gap', (g) => events.push(g.reason));
  const { frames, error } = await collect(capture);
  assert.deepEqual(frames.filter((frame) => frame.some((v) => v !== 0)), frameList(0, 4));
  assert.deepEqual(events.filter((e) => e !== 'silence').slice(0, 2), [['device-lost', 1, 300, 'DEVICE_INVALIDATED', null], 'restart']);
  assert.deepEqual([error.context, f.runs()], ['failed to write PCM frame', 2]);

  const g = fake(LOST, [{ stderr: INVALIDATED }, { exit: 1 }]);
  const limited = await start({ program: g.program, restart: { delayMs: 10, maxAttempts: 3 } });
  const delays = [];
  limited.on('restart', (r) => delays.push(r.delayMs));
  assert.equal((await collect(limited)).error.code, 'DEVICE_INVALIDATED');
  assert.deepEqual([delays, g.runs()], [[10, 20, 40], 4]);

  const h = fake(LOST);
  assert.equal((await collect(await start({ program: h.program }))).error.code, 'DEVICE_INVALIDATED');
  assert.equal(h.runs(), 1);
});

test('following the default device: a change restarts on the new one, none waits for one, stop() ends the watcher', async () => {
  const f = fake([STARTED, { frames: 2, from: 0 }], [STARTED, { frames: 2, from: 2 }], [STARTED, { frames: 2, from: 4 }]);
  const w = fake([{ stdout: 'default\t{a}\tSpeakers\n' }, { sleep: 1000 }, { stdout: 'default\t{b}\tHeadset \\\\ \\t2\n' },
    { sleep: 1000 }, { stdout: 'none\n' }, { sleep: 1000 }, { stdout: 'default\t{a}\tSpeakers\n' }]);
  const capture = new Capture({ program: f.program, watcher: w.program, restart: { onDefaultChange: true }, timeline: 'continuous' });
  const events = [];
  let restartGap = 0;
  capture.on('device', (d) => events.push(d?.name ?? null));
  capture.on('restart', (r) => events.push([r.reason, r.device, r.delayMs]));
  capture.on('gap', (g) => { restartGap += g.reason === 'restart' ? g.frames : 0; });
  const real = [];
  for await (const frame of capture) {
    if (frame.some((v) => v !== 0) && real.push(frame) === 6) await capture.stop();
  }
  assert.deepEqual(real, frameList(0, 6));
  assert.deepEqual(events, ['Speakers', 'Headset \\ \t2', ['default-changed', 'Headset \\ \t2', 0], null,
    'Speakers', ['default-changed', 'Speakers', 0]]);
  assert.ok(restartGap >= 40, `${restartGap} frames filled while no device was the default`);
  assert.deepEqual([capture.device, capture.restarts, f.runs()], [{ id: '{a}', name: 'Speakers' }, 2, 3]);
  assert.deepEqual([alive(f.pid(0)), alive(f.pid(1)), alive(w.pid(0))], [false, false, false]);
});

test('a watcher that cannot start, ends or writes a malformed line is reported and the capture goes on', async () => {
  const cases = [
    [['/nonexistent/brisvane-watch.exe'], 'PROGRAM_NOT_FOUND', /^brisvane-watch.exe could not be started \(\/nonexistent/],
    [fake([{ stderr: 'Error: failed to write device line\n\nCaused by:\n    gone (os error 232)\n' }, { exit: 1 }]).program,
      'WATCHER_FAILED', /^brisvane-watch.exe exited with status 1: failed to write device line: gone/],
    [fake([{ stdout: 'default\t{a}\tSpeakers\ndefault\t{b}\n' }]).program, 'WATCHER_FAILED', /malformed line: a default line has 3 fields/],
  ];
  for (const [watcher, code, message] of cases) {
    const f = fake([STARTED, { frames: 2, from: 0 }, { sleep: 400 }, { frames: 2, from: 2 }, { exit: 0 }]);
    const capture = await start({ program: f.program, watcher, restart: { onDefaultChange: true } });
    const warnings = [];
    capture.on('warning', (w) => warnings.push(w));
    assert.deepEqual((await collect(capture)).frames, frameList(0, 4));
    assert.deepEqual(warnings.map((w) => [w.name, w.code, message.test(w.message)]), [['BrisvaneError', code, true]], warnings[0]?.message);
    assert.equal(f.runs(), 1);
  }
});
