'use strict';
// Under Wine, with the simulated audio engine in the end-to-end rig's prefix: the package
// starting the real brisvane.exe through the override command, the example, and the packed
// package installed into a fresh folder and used by an app on Windows Node.js
// (windows-app.js). Set up by scripts/test: BRISVANE_WINE_BUILD (the Windows build),
// BRISVANE_APP (the folder with the installed package), BRISVANE_WINDOWS_NODE (node.exe).
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { start } = require('..');
const { counting, bytesOf, DEVICE_LOST, DEVICE_LOST_FRAMES } = require('./signal');

const { BRISVANE_WINE_BUILD: BUILD, BRISVANE_APP: APP, BRISVANE_WINDOWS_NODE: NODE } = process.env;
const skip = BUILD && APP && NODE ? false : 'BRISVANE_WINE_BUILD, BRISVANE_APP or BRISVANE_WINDOWS_NODE is not set';
const winpath = (file) => `Z:${file.replaceAll('/', '\\')}`;
const WINE_RUN = BUILD && path.join(BUILD, 'wine-run');
const env = { ...process.env, WINEDEBUG: '-all', BRISVANE_WINEPREFIX: BUILD && path.join(BUILD, 'e2e', 'wineprefix') };

// A Windows process that stays up while the tests run, so that Wine's server and services do
// too: started along with a program under test they would inherit its pipes and hold them
// open after it exits.
let waiter;
test.before(() => {
  if (skip) return;
  waiter = spawn(WINE_RUN, ['cmd'], { env, stdio: ['pipe', 'ignore', 'ignore'] });
  spawnSync(WINE_RUN, ['cmd', '/c', 'exit'], { env, stdio: 'ignore' });
});
test.after(() => waiter?.stdin.end()); // cmd ends with its input

function runDir(name, scenario) {
  const dir = path.join(BUILD, 'node-wine', name);
  fs.rmSync(dir, { recursive: true, force: true });
  fs.mkdirSync(dir, { recursive: true });
  fs.writeFileSync(path.join(dir, 'scenario.txt'), scenario ?? '');
  return dir;
}

test('the real program through the override: exact frames, its report as a BrisvaneError, the example', { skip }, async () => {
  const program = [WINE_RUN, path.join(BUILD, 'src', 'brisvane.exe')];
  const withScenario = (dir) => ({ ...env, BRISVANE_ENGINE_SCENARIO: winpath(path.join(dir, 'scenario.txt')) });
  const capture = await start({ program, env: withScenario(runDir('exact', DEVICE_LOST)) });
  const frames = [];
  const error = await (async () => {
    for await (const frame of capture) frames.push(frame);
  })().catch((e) => e);
  assert.ok(bytesOf(frames).equals(counting(0, DEVICE_LOST_FRAMES * 7680)), `${frames.length} frames`);
  assert.deepEqual([error.status, error.code, error.hresult, error.context],
    [1, 'DEVICE_INVALIDATED', 0x88890004, 'failed to read WASAPI loopback samples']);

  const startup = { ...withScenario(runDir('startup', 'fail = Initialize 0x88890008\n')), BRISVANE_COMMAND: JSON.stringify(program),
    BRISVANE_WATCH_COMMAND: JSON.stringify([WINE_RUN, path.join(BUILD, 'src', 'brisvane-watch.exe')]) };
  const failed = await start({ env: startup }).catch((e) => e);
  assert.deepEqual([failed.status, failed.code, failed.context], [1, 'UNSUPPORTED_FORMAT', 'failed to initialize WASAPI loopback client']);
  const doctor = spawnSync(process.execPath, [path.join(__dirname, '..', 'bin', 'brisvane.js'), 'doctor'], { env: startup, encoding: 'utf8' });
  assert.equal(doctor.status, 1);
  assert.match(doctor.stdout, /\ndefault output device: Speakers \(Simulated Audio Engine\)\n/);
  assert.match(doctor.stderr, /^brisvane could not capture\. .*does not accept the capture format.*\n\(code UNSUPPORTED_FORMAT, HRESULT 0x88890008\)\n/);

  const tone = DEVICE_LOST.replace('counting', 'tone 1000 0.5');
  const run = spawnSync(process.execPath, [path.join(__dirname, '..', '..', '..', 'examples', 'node', 'level.js')], {
    env: { ...withScenario(runDir('example', tone)), NODE_PATH: path.join(APP, 'node_modules'), BRISVANE_COMMAND: JSON.stringify(program) },
    encoding: 'utf8', timeout: 60000 });
  assert.equal(run.stdout, '   1 s  RMS   -9.0 dBFS  peak   -6.0 dBFS\n   2 s  RMS   -9.0 dBFS  peak   -6.0 dBFS\n');
  assert.match(run.stderr, /^brisvane started\nbrisvane exited with status 1: failed to read WASAPI loopback samples: .*0x88890004\)?\. The audio output device went away/);
  assert.equal(run.status, 1);
});

// Runs one case of windows-app.js on Windows Node.js; its result.
function app(name, arg = '') {
  const dir = runDir(`app-${name}-${arg}`);
  const result = path.join(dir, 'result.json');
  const appEnv = { ...env, NODE_SKIP_PLATFORM_CHECK: '1' };
  delete appEnv.BRISVANE_COMMAND; // the bundled programs
  delete appEnv.BRISVANE_WATCH_COMMAND;
  const run = spawnSync(WINE_RUN, [NODE, winpath(path.join(APP, 'windows-app.js')), name, winpath(result), winpath(dir), arg],
    { env: appEnv, stdio: 'ignore', timeout: 120000 });
  assert.ok(fs.existsSync(result), `${name}: no result (status ${run.status}, ${run.error ?? ''})`);
  const outcome = JSON.parse(fs.readFileSync(result, 'utf8'));
  assert.equal(outcome.failed, undefined, outcome.failed);
  return outcome;
}

test('Windows Node.js: exact frames, conversion, restarts, following the default, stop, and the program ends with node.exe', { skip }, async () => {
  assert.deepEqual(app('frames'), { raw: true, converted: true, errors: ['DEVICE_INVALIDATED', 'DEVICE_INVALIDATED'] });
  assert.deepEqual(app('restart'), { twice: true, restarts: [['device-lost', 1, 'DEVICE_INVALIDATED']], error: 'DEVICE_INVALIDATED' });
  const { firstRunMs, ...follow } = app('follow');
  assert.deepEqual(follow, { events: [['device', 'Speakers (Sim)'], ['device', 'Headset (Sim USB)'], ['default-changed', 'Headset (Sim USB)']],
    device: { id: '{h}', name: 'Headset (Sim USB)' }, twoRuns: true });
  assert.ok(firstRunMs > 500 && firstRunMs <= 1600, `${firstRunMs} ms from the speakers`); // ended by the change at 1.5 s
  assert.deepEqual(app('stop'), { frames: 10, alive: false });
  // node.exe is terminated while the program waits in silence: the job object that Node.js puts
  // its children in ends the program; a program started detached (the control) outlives it.
  for (const [how, survives] of [['job', false], ['detached', true]]) {
    const { pid, alive } = app('terminate', how);
    assert.ok(alive, `${how}: the program did not run`);
    await new Promise((resolve) => setTimeout(resolve, 1000));
    assert.equal(app('alive', String(pid)).alive, survives, how);
  }
});
