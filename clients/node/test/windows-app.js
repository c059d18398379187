'use strict';
// A small app run by Windows Node.js under Wine against the installed package (its bundled
// brisvane.exe, the simulated engine): node windows-app.js CASE RESULT_JSON SCENARIO_DIR.
// Windows Node.js has no working console under Wine, so results go to RESULT_JSON.
const fs = require('node:fs');
const path = require('node:path');
const { start, FrameConverter } = require('brisvane');

const [name, resultFile, scenarios] = process.argv.slice(2);
const LOST = 'source = counting\npace = fast\npacket_frames = 441,480,1056\ninvalidate_after_packets = 180\n';
const WHOLE = 123;

function counting(offset, length) {
  const out = new Uint8Array(length);
  for (let k = 0; k < length; k++) {
    const i = offset + k;
    out[k] = (7 * i + Math.floor(i / 256) + Math.floor(i / 65536) + Math.floor(i / 16777216)) & 0xff;
  }
  return out;
}
const rawFrame = (k) => new Float32Array(counting(k * 7680, 7680).buffer);

function scenario(label, text) {
  const file = path.join(scenarios, `${label}.txt`);
  fs.writeFileSync(file, text);
  process.env.BRISVANE_ENGINE_SCENARIO = file;
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

function same(a, b) {
  return a.constructor === b.constructor && a.length === b.length && a.every((v, i) => Object.is(v, b[i]));
}

// The first frame that differs from the expected ones, or null.
function firstDifference(frames, want) {
  if (frames.length !== want.length) return `${frames.length} frames, expected ${want.length}`;
  const k = frames.findIndex((frame, i) => !same(frame, want[i]));
  return k < 0 ? null : `frame ${k} differs`;
}

const cases = {
  async frames() {
    scenario('frames', LOST);
    const raw = await collect(await start());
    scenario('convert', LOST);
    const format = { sampleType: 's16', rate: 16000, channels: 1 };
    const converted = await collect(await start({ format }));
    const converter = new FrameConverter(format);
    return {
      raw: firstDifference(raw.frames, Array.from({ length: WHOLE }, (_, k) => rawFrame(k))),
      rawError: [raw.error?.code, raw.error?.status, raw.error?.context],
      converted: firstDifference(converted.frames, Array.from({ length: WHOLE }, (_, k) => converter.convert(rawFrame(k)))),
    };
  },
  async restart() {
    scenario('restart', LOST);
    const capture = await start({ restart: { delayMs: 100, maxAttempts: 1 } });
    const events = [];
    capture.on('restart', (r) => events.push(['restart', r.reason, r.attempt, r.error.code]));
    const { frames, error } = await collect(capture);
    return {
      frames: firstDifference(frames, Array.from({ length: 2 * WHOLE }, (_, k) => rawFrame(k % WHOLE))),
      restarts: events.filter((e) => e[0] === 'restart'),
      error: error?.code,
    };
  },
  async stop() {
    scenario('stop', 'source = tone 1000 0.5\npace = realtime\n');
    const capture = await start();
    const pid = capture.pid;
    let frames = 0;
    for await (const frame of capture) {
      if (frame.length === 1920) frames += 1;
      if (frames === 10) await capture.stop();
    }
    let alive = true;
    try {
      process.kill(pid, 0);
    } catch {
      alive = false;
    }
    return { frames, alive };
  },
  // The program waits in silence; this process is terminated (no exit handlers run). The
  // control: the program started detached (outside Node.js's job object) outlives it.
  async terminate() {
    scenario('terminate', 'source = tone 1000 0.5\npace = realtime\ngap = 0 600000\n');
    let pid;
    if (process.argv[5] === 'detached') {
      const { spawn } = require('node:child_process');
      const exe = require.resolve('brisvane').replace(/index\.js$/, 'bin\\win32-x64\\brisvane.exe');
      const child = spawn(exe, [], { detached: true, stdio: ['ignore', 'pipe', 'pipe'] });
      await new Promise((resolve) => child.stderr.once('data', resolve));
      pid = child.pid;
    } else {
      pid = (await start()).pid;
    }
    process.kill(pid, 0); // it runs (throws if not)
    fs.writeFileSync(resultFile, JSON.stringify({ pid }));
    process.kill(process.pid, 'SIGKILL');
  },
  async end() {
    process.kill(Number(process.argv[5]));
    return {};
  },
  // Whether a process still runs (for the terminate case's check).
  async alive() {
    try {
      process.kill(Number(process.argv[5]), 0);
      return { alive: true };
    } catch (error) {
      return { alive: false, code: error.code };
    }
  },
};

cases[name]().then(
  (result) => fs.writeFileSync(resultFile, JSON.stringify(result)),
  (error) => fs.writeFileSync(resultFile, JSON.stringify({ failed: `${error.stack}` })),
).then(() => process.exit(0));
