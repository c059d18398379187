'use strict';
// A small app that Windows Node.js runs under Wine with the installed package (its bundled
// brisvane-capture.exe, the simulated engine): node windows-app.js CASE RESULT_JSON RUN_DIR [ARG].
// Windows Node.js has no working console under Wine, so the result goes to RESULT_JSON.
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { start, Capture, devices, FRAME_FLAGS } = require('brisvane');

const [name, resultFile, dir, arg] = process.argv.slice(2);
const HNS_PER_FRAME = 1e7 / 48000;
const SPEAKERS = '{0.0.0.00000000}.{speakers}';
const HEADPHONES = '{0.0.0.00000000}.{headphones}';
// Each source plays the counting source from its own base (tools/sim/README.md), so that every
// frame shows where it came from and which endpoint frame it is.
const BASES = { [SPEAKERS]: 1000, [HEADPHONES]: 3000001, include: 7000003, exclude: 9000005 };
const DEVICES = `device = ${SPEAKERS} Speakers (Sim)\ndevice = ${HEADPHONES} Headphones (Sim USB)\n` +
  Object.entries(BASES).map(([key, base]) => `[${key.startsWith('{') ? `endpoint ${key}` : key}]\nsource = counting ${base}\n`).join('');

// The counting source's bytes [offset, offset + length).
function counting(offset, length) {
  const out = Buffer.alloc(length);
  for (let k = 0, i = offset; k < length; k++, i++) out[k] = (7 * i + Math.floor(i / 256) + Math.floor(i / 65536) + Math.floor(i / 16777216)) & 0xff;
  return out;
}

let runs = 0;
// Sets the scenario (with an engine log) for the programs started from now on; reads the log.
function scenario(text) {
  const file = path.join(dir, `scenario-${++runs}.txt`);
  const log = path.join(dir, `engine-${runs}.log`);
  fs.writeFileSync(file, `${text}\nlog = ${log}\n`);
  process.env.BRISVANE_ENGINE_SCENARIO = file;
  return () => fs.readFileSync(log, 'utf8');
}

// Captures to the end, stopping once `enough(frames read)`: the frames, the events (listened to
// from the start), the end, and the program's process id.
async function collect(options, enough = () => false) {
  const capture = new Capture(options);
  const [frames, events, pid] = [[], [], capture.pid];
  capture.on('device', (d) => events.push(['device', d?.id ?? null]));
  capture.on('restart', (r) => events.push([r.reason]));
  capture.on('gap', (g) => events.push([g.reason, g.length]));
  let error = null;
  try {
    await capture.started;
    for await (const frame of capture) if (enough(frames.push(frame), events)) capture.stop();
  } catch (e) {
    error = e.code;
  }
  return { frames, events, end: capture.endReason ?? error, pid };
}

// Whether every frame (f32, 48 kHz, stereo) lies where its capture time says on the engine's
// clock, follows the one before, and holds what one of the `bases` played there (the counting
// source from that base) or filled silence.
function exact({ frames }, log, bases) {
  const epoch = Number([...log.matchAll(/scenario ok pace=\S+ epoch=(\d+)/g)].at(-1)[1]);
  return frames.length > 0 && frames.every((f, k) => {
    const position = Math.round((f.qpc - epoch) / HNS_PER_FRAME);
    const before = frames[k - 1];
    if (Math.abs(f.qpc - epoch - position * HNS_PER_FRAME) > 1) return false;
    if (before && (f.index !== before.index + before.length / 2 || f.system <= before.system)) return false;
    const bytes = Buffer.from(f.buffer, f.byteOffset, f.byteLength);
    for (let s = 0; s < f.length / 2; s++) {
      const sample = bytes.subarray(8 * s, 8 * s + 8);
      const silence = f.flags & FRAME_FLAGS.FILLED && sample.every((b) => b === 0);
      if (!silence && !bases.some((base) => sample.equals(counting((base + position + s) * 8, 8)))) return false;
    }
    return true;
  });
}

const cases = {
  // The device list; the default device, a device by name, one application to its end, and
  // every application but this one: each source's frames exact, with their times.
  async sources() {
    const log = scenario(`default = ${SPEAKERS}\n${DEVICES}`);
    const listed = await devices();
    const speakers = await collect({}, (n) => n === 25);
    const speakersLog = log();
    const headphones = await collect({ source: { device: 'headphones' } }, (n) => n === 25);
    const appLog = scenario(DEVICES);
    const target = spawn(arg, ['--sleep', '1500'], { stdio: 'ignore' });
    const app = await collect({ source: { app: target.pid } });
    const othersLog = scenario(DEVICES);
    const others = await collect({ source: 'all-but-this-app' }, (n) => n === 10);
    return {
      devices: listed.map((d) => [d.id, d.name, d.isDefault]),
      speakers: [exact(speakers, speakersLog, [BASES[SPEAKERS]]), speakers.events, speakers.end, alive(speakers.pid)],
      headphones: [exact(headphones, log(), [BASES[HEADPHONES]]), headphones.events, headphones.end],
      app: [exact(app, appLog(), [BASES.include]), app.frames.length > 50, app.end],
      others: [exact(others, othersLog(), [BASES.exclude]), othersLog().includes(`pid=${process.pid} mode=1`), others.end],
    };
  },
  // The speakers, the headphones from 1 s, no device from 2 s to 12 s, the speakers again: one
  // program follows, and the continuous timeline keeps time through it all.
  async follow() {
    const log = scenario(`default = ${SPEAKERS}\ndefault_change = 1000 ${HEADPHONES}\ndefault_change = 2000 none\n` +
      `default_change = 12000 ${SPEAKERS}\n${DEVICES}`);
    let after = 0;
    const followed = await collect({ timeline: 'continuous', restart: { onDefaultChange: true } },
      (n, events) => events.some(([what]) => what === 'device-back') && ++after === 50);
    return {
      events: followed.events.map(([what, more]) => (what === 'device' ? [what, more] : what === 'no-device' ? [what, more > 470000 && more < 490000] : [what])),
      exact: exact(followed, log(), [BASES[SPEAKERS], BASES[HEADPHONES]]),
      seconds: Math.round(followed.frames.length / 50),
      end: followed.end,
    };
  },
  // The program waits in silence and this process is terminated (no exit handlers run): the
  // program ends with it (the job object that Node.js puts its children in, and its standard
  // input's end); one started detached with no standard input (the control) outlives it.
  async terminate() {
    scenario(`silence = 0 60000\n${DEVICES}`); // a stream key: before the sections, for every stream
    const exe = path.join(path.dirname(require.resolve('brisvane')), 'bin', 'win32-x64', 'brisvane-capture.exe');
    // Its standard input is not a pipe: the end of this process does not stop it.
    const detached = spawn(exe, [], { detached: true, stdio: ['ignore', 'pipe', 'pipe'] });
    await new Promise((resolve) => detached.stderr.once('data', resolve));
    const pid = (await start()).pid;
    fs.writeFileSync(resultFile, JSON.stringify({ pids: [pid, detached.pid], alive: [alive(pid), alive(detached.pid)] }));
    process.kill(process.pid, 'SIGKILL');
  },
  async alive() {
    return { alive: JSON.parse(arg).map((pid) => alive(pid) && (process.kill(pid), true)) };
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
