'use strict';
// A small app that Windows Node.js runs under Wine with the installed package (its bundled
// brisvane.exe, the simulated engine): node windows-app.js CASE RESULT_JSON RUN_DIR [ARG].
// Windows Node.js has no working console under Wine, so the result goes to RESULT_JSON.
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { start, Capture, FrameConverter } = require('brisvane');
const { counting, countingFrame, bytesOf, DEVICE_LOST, DEVICE_LOST_FRAMES } = require('./signal');

const [name, resultFile, dir, arg] = process.argv.slice(2);
// A few frames, then the source ends: no packets and no signals, the program waits in silence.
const SILENT = 'source = tone 1000 0.5\npace = realtime\ntotal_frames = 480\n';

function scenario(text) {
  process.env.BRISVANE_ENGINE_SCENARIO = path.join(dir, `scenario-${Date.now()}.txt`);
  fs.writeFileSync(process.env.BRISVANE_ENGINE_SCENARIO, text);
}

async function collect(options, restarts = []) {
  const frames = [];
  try {
    const capture = await start(options);
    capture.on('restart', (r) => restarts.push([r.reason, r.attempt, r.error.code]));
    for await (const frame of capture) frames.push(frame);
  } catch (error) {
    return { frames, error: error.code };
  }
  return { frames, error: null };
}

const cases = {
  async frames() {
    scenario(DEVICE_LOST);
    const raw = await collect();
    const format = { sampleType: 's16', rate: 16000, channels: 1 };
    const converted = await collect({ format });
    const converter = new FrameConverter(format);
    const want = Array.from({ length: DEVICE_LOST_FRAMES }, (_, k) => converter.convert(countingFrame(k)));
    return {
      raw: bytesOf(raw.frames).equals(counting(0, DEVICE_LOST_FRAMES * 7680)) && raw.frames[0] instanceof Float32Array,
      converted: bytesOf(converted.frames).equals(bytesOf(want)) && converted.frames[0] instanceof Int16Array,
      errors: [raw.error, converted.error],
    };
  },
  async restart() {
    scenario(DEVICE_LOST);
    const restarts = [];
    const { frames, error } = await collect({ restart: { delayMs: 100, maxAttempts: 1 } }, restarts);
    const once = counting(0, DEVICE_LOST_FRAMES * 7680);
    return { twice: bytesOf(frames).equals(Buffer.concat([once, once])), restarts, error };
  },
  // The default moves from the speakers to the headset 1.5 s in, on the clock that every process
  // loading the scenario shares: the program is ended and started again, and the new one finds
  // the headset. Each run's counting stream starts at byte 0, so the restart shows in the bytes.
  async follow() {
    scenario('source = counting\npace = realtime\ndevice = {s} Speakers (Sim)\ndevice = {h} Headset (Sim USB)\n' +
      'default_change = 1500 {h}\n');
    const capture = new Capture({ restart: { onDefaultChange: true } });
    const events = [];
    capture.on('device', (d) => events.push(['device', d.name]));
    capture.on('restart', (r) => events.push([r.reason, r.device]));
    capture.on('warning', (e) => events.push(['warning', e.message]));
    const frames = [];
    let after = 0;
    for await (const frame of capture) {
      frames.push(frame);
      if (capture.restarts > 0 && ++after === 50) await capture.stop();
    }
    const first = frames.findIndex((f, k) => k > 0 && bytesOf([f]).equals(counting(0, 7680)));
    const runs = Buffer.concat([counting(0, first * 7680), counting(0, (frames.length - first) * 7680)]);
    return { events, device: capture.device, firstRunMs: first * 20, twoRuns: bytesOf(frames).equals(runs) };
  },
  async stop() {
    scenario('source = tone 1000 0.5\npace = realtime\n');
    const capture = await start();
    let frames = 0;
    for await (const frame of capture) if (++frames === 10 && frame.length === 1920) await capture.stop();
    return { frames, alive: alive(capture.pid) };
  },
  // The program waits in silence and this process is terminated (no exit handlers run). The
  // control: the program started detached, outside Node.js's job object.
  async terminate() {
    scenario(SILENT);
    let pid;
    if (arg === 'detached') {
      const exe = path.join(path.dirname(require.resolve('brisvane')), 'bin', 'win32-x64', 'brisvane.exe');
      const child = spawn(exe, [], { detached: true, stdio: ['ignore', 'pipe', 'pipe'] });
      await new Promise((resolve) => child.stderr.once('data', resolve));
      pid = child.pid;
    } else {
      pid = (await start()).pid;
    }
    fs.writeFileSync(resultFile, JSON.stringify({ pid, alive: alive(pid) }));
    process.kill(process.pid, 'SIGKILL');
  },
  async alive() {
    const running = alive(Number(arg));
    if (running) process.kill(Number(arg));
    return { alive: running };
  },
};

function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
}

cases[name]().then(
  (result) => fs.writeFileSync(resultFile, JSON.stringify(result)),
  (error) => fs.writeFileSync(resultFile, JSON.stringify({ failed: `${error.stack}` })),
).then(() => process.exit(0));
