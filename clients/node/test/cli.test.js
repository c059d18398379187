'use strict';
// The command line against fake-program.js, and the WAV writer's headers.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { once } = require('node:events');
const { WavWriter } = require('..');

const CLI = path.join(__dirname, '..', 'bin', 'brisvane.js');
const TIMEOUT = { timeout: 10000 };
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'brisvane-cli-'));
const LIST = [{ record: 'HEAD', source: 5 }, { record: 'DEVI', flags: 1, id: '{s}', name: 'Speakers (Realtek(R) Audio)' },
  { record: 'DEVI', flags: 0, id: '{h}', name: 'Headset (USB)' }, { record: 'END_', reason: 4, hresult: 0 }, { exit: 0 }];
const started = { stderr: 'brisvane-capture started\n' };

// The format and the samples of a WAV or RF64 file, its sizes checked against the file's.
function readWav(file) {
  const data = fs.readFileSync(file);
  const rf64 = data.toString('latin1', 0, 4) === 'RF64';
  const [fmt, at] = [data.indexOf('fmt '), data.indexOf('data')];
  assert.equal(rf64 ? Number(data.readBigUInt64LE(20)) : data.readUInt32LE(4), data.length - 8, 'the RIFF size');
  assert.equal(rf64 ? Number(data.readBigUInt64LE(28)) : data.readUInt32LE(at + 4), data.length - at - 8, 'the data size');
  const format = [data.readUInt16LE(fmt + 8), data.readUInt16LE(fmt + 10), data.readUInt32LE(fmt + 12), data.readUInt16LE(fmt + 22)];
  const body = new Uint8Array(data.subarray(at + 8)).buffer;
  const samples = format[3] === 16 ? new Int16Array(body) : new Float32Array(body);
  if (format[0] === 3) assert.equal(data.readUInt32LE(data.indexOf('fact') + 8), rf64 ? 0xffffffff : samples.length / format[1]);
  return { rf64, format, samples };
}

// Runs the command line with the fake program playing `program` (and `listDevices`); its
// status, standard output and error, and the arguments of the program's last run. With
// `interruptOnce`, Ctrl+C once that file exists: the command has then started its capture and
// handles the signal (a fixed delay is too short on a busy machine).
async function runCli(name, args, testCase, { interruptOnce } = {}) {
  const state = fs.mkdtempSync(path.join(tmp, `${name}-`));
  fs.writeFileSync(path.join(state, 'case.json'), JSON.stringify(testCase));
  const env = { ...process.env, BRISVANE_COMMAND: JSON.stringify([process.execPath, path.join(__dirname, 'fake-program.js'), state]) };
  const child = spawn(process.execPath, [CLI, ...args], { env, stdio: ['ignore', 'pipe', 'pipe'] });
  let [stdout, stderr] = ['', ''];
  child.stdout.on('data', (d) => { stdout += d; });
  child.stderr.on('data', (d) => { stderr += d; });
  const poll = interruptOnce && setInterval(() => {
    if (!fs.existsSync(interruptOnce)) return;
    clearInterval(poll);
    child.kill('SIGINT');
  }, 20);
  const [status] = await once(child, 'close');
  clearInterval(poll);
  const runs = fs.readdirSync(state).filter((n) => n.startsWith('run-')).sort();
  return { status, stdout, stderr, args: JSON.parse(fs.readFileSync(path.join(state, runs.at(-1)), 'utf8')).args };
}

test('record: the format, the device by name, the length; Ctrl+C and a failure leave a whole file', TIMEOUT, async () => {
  const wav = path.join(tmp, 'timed.wav');
  const timed = await runCli('timed', ['record', wav, '--seconds', '0.1', '--rate', '16000', '--mono', '--s16', '--device', 'headset'],
    { listDevices: LIST, program: [{ record: 'HEAD', rate: 16000, channels: 1, sampleType: 's16', source: 2 }, started,
      { record: 'AUDI', index: 0, qpc: 0, system: 0, flags: 0, count: 320, repeat: 30 }, { waitStdinEnd: true }, { exit: 0 }] });
  assert.equal(timed.status, 0, timed.stderr);
  assert.deepEqual(timed.args.slice(0, 2), ['--device', '{h}']);
  const got = readWav(wav);
  assert.deepEqual(got.format, [1, 1, 16000, 16]);
  assert.deepEqual(Array.from(got.samples), Array.from({ length: 5 * 320 }, (_, n) => n - 32768)); // the counting pattern

  const app = path.join(tmp, 'app.wav');
  const stopped = await runCli('app', ['record', app, '--app', '4242'], { program: [{ record: 'HEAD', source: 3 }, started,
    { record: 'AUDI', index: 0, qpc: 0, system: 0, flags: 0, count: 960, repeat: 2 }, { waitStdinEnd: true },
    { record: 'AUDI', index: 1920, qpc: 0, system: 0, flags: 0, count: 100 }, { record: 'END_', reason: 1, hresult: 0 }, { exit: 0 }] },
  { interruptOnce: app });
  assert.equal(stopped.status, 0, stopped.stderr);
  assert.deepEqual(stopped.args.slice(0, 2), ['--app', '4242']);
  assert.deepEqual([readWav(app).format, readWav(app).samples.length], [[3, 2, 48000, 32], 2020 * 2]); // the short frame too

  const failed = await runCli('failed', ['record', path.join(tmp, 'failed.wav')], { program: [{ record: 'HEAD' }, started,
    { record: 'AUDI', index: 0, qpc: 0, system: 0, flags: 0, count: 960, repeat: 3 }, { record: 'END_', reason: 3, hresult: '0x80070005' },
    { stderr: 'Error: failed to read WASAPI loopback samples\n\nCaused by:\n    0: x (0x80070005)\n    1: x (0x80070005)\n' }, { exit: 1 }] });
  assert.equal(failed.status, 1);
  assert.match(failed.stderr, /status 1: failed to read WASAPI loopback samples: x \(0x80070005\)\. Windows refused access.*\n\(code ACCESS_DENIED, HRESULT 0x80070005\)\n/);
  assert.equal(readWav(path.join(tmp, 'failed.wav')).samples.length, 3 * 1920);
});

test('devices: one line per output device, the default marked', TIMEOUT, async () => {
  const listed = await runCli('devices', ['devices'], { listDevices: LIST });
  assert.equal(listed.status, 0, listed.stderr);
  assert.equal(listed.stdout, '* Speakers (Realtek(R) Audio)  {s}\n  Headset (USB)  {h}\n(* the default)\n');
});

test('a WAV file past the RIFF limit is finished as RF64', TIMEOUT, () => {
  const file = path.join(tmp, 'big.wav');
  const writer = new WavWriter(file, { sampleType: 'f32' }, { limit: 100000 });
  for (let k = 0; k < 20; k++) writer.write(new Float32Array(1920).fill(k));
  writer.finish();
  const wav = readWav(file);
  assert.deepEqual([wav.rf64, fs.readFileSync(file).toString('latin1', 12, 16), wav.samples.length], [true, 'ds64', 20 * 1920]);
});
