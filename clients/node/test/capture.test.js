'use strict';
// What only the Node.js API has, against fake-program.js: options checked as a capture is made,
// an AbortSignal, leaving a for-await loop and process.exit (the shared behaviour is in
// behaviour.test.js).
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { once } = require('node:events');
const { setTimeout: sleep } = require('node:timers/promises');
const { Capture, start } = require('..');

const TIMEOUT = { timeout: 10000 };
// Three frames, then it runs until its standard input ends.
const RUNNING = [{ record: 'HEAD' }, { stderr: 'brisvane-capture started\n' },
  { record: 'AUDI', index: 0, qpc: 0, system: 0, flags: 0, count: 960, repeat: 3 },
  { waitStdinEnd: true }, { record: 'END_', reason: 1, hresult: 0 }, { exit: 0 }];

// The fake program playing `steps` (and `listDevices` when asked for the list), and its runs
// (process id, arguments).
function fake(steps, listDevices = []) {
  const state = fs.mkdtempSync(path.join(os.tmpdir(), 'brisvane-fake-'));
  fs.writeFileSync(path.join(state, 'case.json'), JSON.stringify({ program: steps, listDevices }));
  const runs = () => fs.readdirSync(state).filter((n) => n.startsWith('run-')).map((n) => JSON.parse(fs.readFileSync(path.join(state, n))));
  return { program: [process.execPath, path.join(__dirname, 'fake-program.js'), state], pids: () => runs().map((run) => run.pid), runs };
}

// Whether a process runs (an orphan that ended may stay a zombie here: it counts as ended).
function alive(pid) {
  try {
    return process.kill(pid, 0) && !/State:\s+Z/.test(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));
  } catch {
    return false;
  }
}

test('bad options throw a TypeError as the capture is made, naming the option; undefined ones take their defaults', TIMEOUT, () => {
  const cases = [
    [{ format: { rate: 44100 } }, /^rate must be one of 48000, 24000, 16000, 12000, 9600, 8000, 6000, 4800, 4000, not 44100$/],
    [{ format: { sampleType: 'f64' } }, /^sampleType must be one of f32, s16/],
    [{ format: { channels: 6 } }, /^channels must be 1 or 2/],
    [{ timeline: 'live' }, /^timeline must be 'exact' or 'continuous'/],
    [{ maxQueuedFrames: 0 }, /^maxQueuedFrames must be a positive integer/],
    [{ restart: { maxAttempts: -1 } }, /^restart.maxAttempts must be an integer from 0 to 1000, not -1/],
    [{ restart: 'yes' }, /^restart must be true, false or/],
    [{ timeline: 'continuous', fillLagMs: 20000 }, /^fillLagMs must be an integer from 0 to 10000/],
    [{ source: { app: 'x' } }, /^source must be 'default', 'all-but-this-app', \{ device: ID_OR_NAME \}, \{ app: PID \} or \{ allBut: PID \}/],
    [{ source: { device: ' ' } }, /^source must be/],
    [{ source: { app: 1, allBut: 2 } }, /^source must be/],
  ];
  for (const [options, message] of cases) {
    assert.throws(() => new Capture({ program: ['x'], ...options }), (e) => e instanceof TypeError && message.test(e.message), JSON.stringify(options));
  }
  // A sub-option given as undefined takes its default, as a top-level one does.
  new Capture({ program: ['x'], restart: { delayMs: undefined } }).destroy();
});

test('in an Electron renderer or utility process, all-but-this-app leaves out the main process, its parent', TIMEOUT, async () => {
  const f = fake(RUNNING);
  process.type = 'renderer';
  try {
    await (await start({ program: f.program, source: 'all-but-this-app' })).stop();
  } finally {
    delete process.type;
  }
  assert.deepEqual(f.runs()[0].args.slice(0, 2), ['--all-but', String(process.ppid)]);
});

test('the device is known before any frame is read', TIMEOUT, async () => {
  const capture = await start({ program: fake([{ record: 'HEAD' }, { record: 'DEVI', flags: 1, id: '{s}', name: 'Speakers' },
    { stderr: 'brisvane-capture started\n' }, { waitStdinEnd: true }, { exit: 0 }]).program });
  if (capture.device === null) await once(capture, 'device'); // the pipes are read apart
  assert.deepEqual(capture.device, { id: '{s}', name: 'Speakers', isDefault: true });
  await capture.stop();
});

test('an AbortSignal, leaving a for-await loop and process.exit end the program', TIMEOUT, async () => {
  const early = fake(RUNNING);
  assert.equal((await start({ program: early.program, signal: AbortSignal.abort() }).catch((e) => e)).name, 'AbortError');
  assert.deepEqual(early.pids(), []);

  const controller = new AbortController();
  const aborted = await start({ program: fake(RUNNING).program, signal: controller.signal });
  let read = 0;
  for await (const frame of aborted) if (++read === 3 && frame.length === 1920) controller.abort();
  assert.deepEqual([read, aborted.endReason], [3, 'stopped']);

  const left = fake(RUNNING);
  for await (const frame of await start({ program: left.program })) if (frame) break;
  const exits = `require(${JSON.stringify(path.join(__dirname, '..'))}).start({ program: ${JSON.stringify(left.program)} })` +
    '.then(() => process.exit(0))';
  assert.equal(spawnSync(process.execPath, ['-e', exits]).status, 0);
  await sleep(200);
  assert.deepEqual(left.pids().filter(alive), [], 'a program outlived its capture');
});

test('destroyed while its device is looked up by name: stop() resolves and the capture never starts', TIMEOUT, async () => {
  const f = fake(RUNNING, [{ sleepMs: 300 }, { record: 'HEAD', source: 5 }, { record: 'DEVI', flags: 1, id: '{a}', name: 'Speakers' },
    { record: 'END_', reason: 4, hresult: 0 }, { exit: 0 }]);
  const capture = new Capture({ program: f.program, source: { device: 'Speakers' } });
  capture.destroy();
  await capture.stop();
  assert.deepEqual(f.runs().map((run) => run.args), [['--list-devices']]);
});
