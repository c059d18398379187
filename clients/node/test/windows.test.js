'use strict';
// The packed package installed into a fresh folder and used by a small app on Windows Node.js
// under Wine (windows-app.js), with the simulated engine. Runs when BRISVANE_WINE_BUILD,
// BRISVANE_WINDOWS_NODE (node.exe) and BRISVANE_APP (the folder where the tarball is installed
// and windows-app.js copied) are set.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const { BRISVANE_WINE_BUILD: BUILD, BRISVANE_WINDOWS_NODE: NODE, BRISVANE_APP: APP } = process.env;
const skip = BUILD && NODE && APP ? false : 'BRISVANE_WINE_BUILD, BRISVANE_WINDOWS_NODE or BRISVANE_APP is not set';

function winpath(file) {
  return `Z:${file.replaceAll('/', '\\')}`;
}

// Runs one case of the app; its result.
function app(name, ...args) {
  const dir = path.join(APP, 'runs', name);
  fs.rmSync(dir, { recursive: true, force: true });
  fs.mkdirSync(dir, { recursive: true });
  const result = path.join(dir, 'result.json');
  const env = { ...process.env, WINEDEBUG: '-all', NODE_SKIP_PLATFORM_CHECK: '1',
    BRISVANE_WINEPREFIX: path.join(BUILD, 'e2e', 'wineprefix') };
  delete env.BRISVANE_COMMAND; // the bundled program
  const run = spawnSync(path.join(BUILD, 'wine-run'), [NODE, winpath(path.join(APP, 'windows-app.js')), name,
    winpath(result), winpath(dir), ...args], { env, stdio: 'ignore', timeout: 120000 });
  assert.ok(fs.existsSync(result), `${name}: no result (status ${run.status}, ${run.error ?? ''})`);
  const outcome = JSON.parse(fs.readFileSync(result, 'utf8'));
  assert.equal(outcome.failed, undefined, outcome.failed);
  return outcome;
}

test('Windows Node.js: exact frames, conversion, restart, stop, and the program ends with node.exe', { skip }, async (t) => {
  // Wine's server and services stay up meanwhile (started with a run they would hold its files).
  const { spawn } = require('node:child_process');
  const waiter = spawn(path.join(BUILD, 'wine-run'), ['cmd'], { stdio: ['pipe', 'ignore', 'ignore'],
    env: { ...process.env, BRISVANE_WINEPREFIX: path.join(BUILD, 'e2e', 'wineprefix') } });
  t.after(() => waiter.stdin.end());

  assert.deepEqual(app('frames'), { raw: null, rawError: ['DEVICE_INVALIDATED', 1, 'failed to read WASAPI loopback samples'],
    converted: null });
  assert.deepEqual(app('restart'), { frames: null, restarts: [['restart', 'device-lost', 1, 'DEVICE_INVALIDATED']],
    error: 'DEVICE_INVALIDATED' });
  assert.deepEqual(app('stop'), { frames: 10, alive: false });

  // node.exe is terminated while the program waits in silence: the job object that Node.js
  // puts its children in ends the program with it.
  for (const [how, survives] of [['job', false], ['detached', true]]) {
    const { pid } = app('terminate', how);
    await new Promise((resolve) => setTimeout(resolve, 1000));
    assert.equal(app('alive', String(pid)).alive, survives, how);
    if (survives) app('end', String(pid));
  }
});
