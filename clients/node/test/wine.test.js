'use strict';
// The package with the real brisvane.exe under Wine and the simulated audio engine (the
// end-to-end rig's prefix). Runs when BRISVANE_WINE_BUILD names the Windows build directory.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { start, FrameConverter } = require('..');

const BUILD = process.env.BRISVANE_WINE_BUILD;
const skip = BUILD ? false : 'BRISVANE_WINE_BUILD is not set';

// Byte i of the engine's counting source.
function counting(offset, length) {
  const out = new Uint8Array(length);
  for (let k = 0; k < length; k++) {
    const i = offset + k;
    out[k] = (7 * i + Math.floor(i / 256) + Math.floor(i / 65536) + Math.floor(i / 16777216)) & 0xff;
  }
  return out;
}
const rawFrame = (k) => new Float32Array(counting(k * 7680, 7680).buffer);

// 60 x (441 + 480 + 1056) sample frames before the device goes away: 123 whole frames.
const LOST = 'source = counting\npace = fast\npacket_frames = 441,480,1056\ninvalidate_after_packets = 180\n';
const WHOLE = 123;

function wineOptions(name, scenario) {
  const dir = path.join(BUILD, 'node-wine', name);
  fs.mkdirSync(dir, { recursive: true });
  const file = path.join(dir, 'scenario.txt');
  fs.writeFileSync(file, scenario);
  return {
    program: [path.join(BUILD, 'wine-run'), path.join(BUILD, 'src', 'brisvane.exe')],
    env: { ...process.env, WINEDEBUG: '-all', BRISVANE_WINEPREFIX: path.join(BUILD, 'e2e', 'wineprefix'),
      BRISVANE_ENGINE_SCENARIO: `Z:${file.replaceAll('/', '\\')}` },
  };
}

// A Windows process that stays up while the tests run, so that Wine's server and services
// stay up too: started with a program under test they would inherit its pipes and hold them
// open after it exits. Returns the function that ends it.
function keepWineUp() {
  const { spawn, spawnSync } = require('node:child_process');
  const env = { ...process.env, BRISVANE_WINEPREFIX: path.join(BUILD, 'e2e', 'wineprefix'), WINEDEBUG: '-all' };
  const waiter = spawn(path.join(BUILD, 'wine-run'), ['cmd'], { env, stdio: ['pipe', 'ignore', 'ignore'] });
  spawnSync(path.join(BUILD, 'wine-run'), ['cmd', '/c', 'exit'], { env, stdio: 'ignore' });
  return () => waiter.stdin.end(); // cmd ends at the end of its input
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

test('the real program: exact frames, the report as a BrisvaneError, restarts, format, stop and start-up failure', { skip }, async (t) => {
  t.after(keepWineUp());
  const { frames, error } = await collect(await start(wineOptions('exact', LOST)));
  assert.equal(frames.length, WHOLE);
  frames.forEach((frame, k) => assert.deepEqual(frame, rawFrame(k), `frame ${k}`));
  assert.deepEqual([error.status, error.code, error.hresult, error.context],
    [1, 'DEVICE_INVALIDATED', 0x88890004, 'failed to read WASAPI loopback samples']);

  // Each start replays the source from its beginning and loses the device again.
  const format = { sampleType: 's16', rate: 16000, channels: 1 };
  const restarting = await start({ ...wineOptions('restart', LOST), format, restart: { delayMs: 50, maxAttempts: 2 } });
  const restarts = [];
  restarting.on('restart', (r) => restarts.push([r.reason, r.attempt, r.error.code]));
  const again = await collect(restarting);
  assert.deepEqual(restarts, [['device-lost', 1, 'DEVICE_INVALIDATED'], ['device-lost', 2, 'DEVICE_INVALIDATED']]);
  assert.equal(again.error.code, 'DEVICE_INVALIDATED');
  const converter = new FrameConverter(format);
  const want = Array.from({ length: 3 * WHOLE }, (_, k) => converter.convert(rawFrame(k % WHOLE)));
  assert.deepEqual(again.frames, want);

  const endless = await start(wineOptions('stop', 'source = tone 1000 0.5\npace = realtime\n'));
  const pid = endless.pid;
  let count = 0;
  for await (const frame of endless) {
    assert.equal(frame.length, 1920);
    if (++count === 10) await endless.stop();
  }
  assert.throws(() => process.kill(pid, 0), { code: 'ESRCH' });

  const failed = await start(wineOptions('startup', 'fail = Initialize 0x88890008\n')).catch((e) => e);
  assert.deepEqual([failed.status, failed.code, failed.context], [1, 'UNSUPPORTED_FORMAT', 'failed to initialize WASAPI loopback client']);
});

test('examples/node/level.js with the installed package prints the level, then the error and its status', { skip: skip || (process.env.BRISVANE_APP ? false : 'BRISVANE_APP is not set') }, async (t) => {
  t.after(keepWineUp());
  const { spawnSync } = require('node:child_process');
  const tone = LOST.replace('source = counting', 'source = tone 1000 0.5');
  const { program, env } = wineOptions('example', tone);
  const run = spawnSync(process.execPath, [path.join(__dirname, '..', '..', '..', 'examples', 'node', 'level.js')], {
    env: { ...env, NODE_PATH: path.join(process.env.BRISVANE_APP, 'node_modules'), BRISVANE_COMMAND: JSON.stringify(program) },
    encoding: 'utf8', timeout: 60000 });
  assert.equal(run.stdout, '   1 s  RMS   -9.0 dBFS  peak   -6.0 dBFS\n   2 s  RMS   -9.0 dBFS  peak   -6.0 dBFS\n');
  assert.match(run.stderr, /^brisvane started\nbrisvane exited with status 1: failed to read WASAPI loopback samples: .*0x88890004\)?\. The audio output device went away/);
  assert.equal(run.status, 1);
});
