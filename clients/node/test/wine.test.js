'use strict';
// Under Wine, with the simulated engine in the end-to-end rig's prefix: the package starting the
// real brisvane-capture.exe through the override command (its report, doctor, the example), and
// the packed package installed into a fresh folder and used by an app on Windows Node.js
// (windows-app.js). Set up by scripts/test: BRISVANE_WINE_BUILD (the Windows build),
// BRISVANE_APP (the folder with the installed package), BRISVANE_WINDOWS_NODE (node.exe).
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { once } = require('node:events');
const { start } = require('..');

const { BRISVANE_WINE_BUILD: BUILD, BRISVANE_APP: APP, BRISVANE_WINDOWS_NODE: NODE } = process.env;
const skip = BUILD && APP && NODE ? false : 'BRISVANE_WINE_BUILD, BRISVANE_APP or BRISVANE_WINDOWS_NODE is not set';
const winpath = (file) => `Z:${file.replaceAll('/', '\\')}`;
const WINE_RUN = BUILD && path.join(BUILD, 'wine-run');
const env = { ...process.env, WINEDEBUG: '-all', BRISVANE_WINEPREFIX: BUILD && path.join(BUILD, 'e2e', 'wineprefix') };
const SPEAKERS = '{0.0.0.00000000}.{speakers}';
const HEADPHONES = '{0.0.0.00000000}.{headphones}';

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

test('the real program through the override: its report as a BrisvaneError, doctor, the example', { skip, timeout: 60000 }, async () => {
  const program = [WINE_RUN, path.join(BUILD, 'src', 'brisvane-capture.exe')];
  const withScenario = (dir) => ({ ...env, BRISVANE_COMMAND: JSON.stringify(program), BRISVANE_ENGINE_SCENARIO: winpath(path.join(dir, 'scenario.txt')) });
  const failing = withScenario(runDir('startup', 'fail = Initialize 0x88890008\n'));
  const failed = await start({ env: failing }).catch((e) => e);
  assert.deepEqual([failed.status, failed.code, failed.context], [1, 'UNSUPPORTED_FORMAT', 'failed to initialize WASAPI loopback client']);
  const doctor = spawnSync(process.execPath, [path.join(__dirname, '..', 'bin', 'brisvane.js'), 'doctor'], { env: failing, encoding: 'utf8' });
  assert.equal(doctor.status, 1);
  assert.match(doctor.stdout, /\noutput devices \(\* the default\):\n {2}\* Speakers \(Simulated Audio Engine\) {2}\{0\.0\.0\.00000000\}\.\{fake-render-endpoint\}\n/);
  assert.match(doctor.stderr, /^brisvane could not capture\. .*does not accept the capture format.*\n\(code UNSUPPORTED_FORMAT, HRESULT 0x88890008\)\n/);

  const tone = 'source = tone 1000 0.5\ninvalidate_after_ms = 2100\n';
  const run = spawnSync(process.execPath, [path.join(__dirname, '..', '..', '..', 'examples', 'node', 'level.js')], {
    env: { ...withScenario(runDir('example', tone)), NODE_PATH: path.join(APP, 'node_modules') }, encoding: 'utf8', timeout: 30000 });
  assert.equal(run.stdout, '   1 s  RMS   -9.0 dBFS  peak   -6.0 dBFS\n   2 s  RMS   -9.0 dBFS  peak   -6.0 dBFS\n');
  assert.match(run.stderr, /^brisvane started\nbrisvane-capture exited with status 1: failed to read WASAPI loopback samples: .*0x88890004\)?\. The audio output device went away/);
  assert.equal(run.status, 1);
});

// Runs one case of windows-app.js on Windows Node.js; resolves with its result.
async function app(name, arg = '') {
  const dir = runDir(`app-${name}`);
  const result = path.join(dir, 'result.json');
  const appEnv = { ...env, NODE_SKIP_PLATFORM_CHECK: '1' };
  delete appEnv.BRISVANE_COMMAND; // the bundled program
  const run = spawn(WINE_RUN, [NODE, winpath(path.join(APP, 'windows-app.js')), name, winpath(result), winpath(dir), arg],
    { env: appEnv, stdio: 'ignore', timeout: 120000 });
  const [status] = await once(run, 'close');
  assert.ok(fs.existsSync(result), `${name}: no result (status ${status})`);
  const outcome = JSON.parse(fs.readFileSync(result, 'utf8'));
  assert.equal(outcome.failed, undefined, outcome.failed);
  return outcome;
}

// The case that follows the default device takes 13 s of real time: it runs while the others do.
let following;
test.before(() => {
  following = skip ? null : app('follow');
  following?.catch(() => {}); // its test reports it
});

test('Windows Node.js: the device list and each source, exact frames with their times', { skip, timeout: 120000 }, async () => {
  const launcher = winpath(path.join(BUILD, 'tools', 'sim', 'launcher', 'launcher.exe'));
  assert.deepEqual(await app('sources', launcher), {
    devices: [[SPEAKERS, 'Speakers (Sim)', true], [HEADPHONES, 'Headphones (Sim USB)', false]],
    speakers: [true, [['device', SPEAKERS]], 'stopped', false],
    headphones: [true, [['device', HEADPHONES]], 'stopped'],
    app: [true, true, 'app-exited'],
    others: [true, true, 'stopped'],
  });
});

test('Windows Node.js: the program ends with node.exe, however node.exe ends', { skip, timeout: 120000 }, async () => {
  const { pids, alive } = await app('terminate');
  assert.deepEqual(alive, [true, true], 'the programs did not run');
  await new Promise((resolve) => setTimeout(resolve, 1000));
  assert.deepEqual((await app('alive', JSON.stringify(pids))).alive, [false, true], 'the package\'s program (a control started detached outlives node.exe)');
});

test('Windows Node.js: following the default device through a change and 10 s without one', { skip, timeout: 120000 }, async () => {
  const { seconds, ...followed } = await following;
  assert.deepEqual(followed, {
    events: [['device', SPEAKERS], ['silence'], ['default-changed'], ['device', HEADPHONES], ['restart'], ['device', null],
      ['device-back'], ['device', SPEAKERS], ['no-device', true]],
    exact: true,
    end: 'stopped',
  });
  assert.ok(seconds >= 12 && seconds <= 14, `${seconds} s of stream`);
});
