'use strict';
// The command line's recordings against the fake program, and the WAV writer's headers.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { once } = require('node:events');
const { FrameConverter, WavWriter } = require('..');
const { frameSamples } = require('./signal');

const CLI = path.join(__dirname, '..', 'bin', 'brisvane.js');
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'brisvane-cli-'));

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

async function runCli(name, runs, args, { interruptAfterMs } = {}) {
  const planFile = path.join(tmp, `${name}.json`);
  fs.writeFileSync(planFile, JSON.stringify(runs));
  const wav = path.join(tmp, `${name}.wav`);
  const env = { ...process.env, BRISVANE_COMMAND: JSON.stringify([process.execPath, path.join(__dirname, 'fake-program.js'), planFile]) };
  const child = spawn(process.execPath, [CLI, 'record', wav, ...args], { env, stdio: ['ignore', 'ignore', 'pipe'] });
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  if (interruptAfterMs) setTimeout(() => child.kill('SIGINT'), interruptAfterMs);
  const [status] = await once(child, 'close');
  return { status, stderr, wav };
}

test('record: the requested format and length, a finished header on Ctrl+C and on the program failing', async () => {
  const started = { stderr: 'brisvane started\n' };
  const timed = await runCli('timed', [[started, { frames: 30, from: 0 }]], ['--seconds', '0.2', '--rate', '16000', '--mono', '--s16']);
  assert.equal(timed.status, 0, timed.stderr);
  const converter = new FrameConverter({ rate: 16000, channels: 1, sampleType: 's16' });
  const want = Array.from({ length: 10 }, (_, k) => Array.from(converter.convert(frameSamples(k)))).flat();
  const got = readWav(timed.wav);
  assert.deepEqual(got.format, [1, 1, 16000, 16]);
  assert.deepEqual(Array.from(got.samples), want);

  const stopped = await runCli('interrupted', [[started, { frames: 5, from: 0 }]], [], { interruptAfterMs: 1500 });
  assert.equal(stopped.status, 0, stopped.stderr);
  const wav = readWav(stopped.wav);
  assert.deepEqual(wav.format, [3, 2, 48000, 32]);
  assert.deepEqual(wav.samples.subarray(0, 5 * 1920), Float32Array.from([0, 1, 2, 3, 4].flatMap((k) => Array.from(frameSamples(k)))));
  assert.ok(wav.samples.length > 20 * 1920 && wav.samples.subarray(5 * 1920).every((v) => v === 0), 'silence filled after the audio');

  const failed = await runCli('failed', [[started, { frames: 3, from: 0 },
    { stderr: 'Error: failed to read WASAPI loopback samples\n\nCaused by:\n    0: x (0x80070005)\n    1: x (0x80070005)\n' }, { exit: 1 }]], []);
  assert.equal(failed.status, 1);
  assert.match(failed.stderr, /status 1: failed to read WASAPI loopback samples: x \(0x80070005\)\. Windows refused access/);
  assert.ok(readWav(failed.wav).samples.length >= 3 * 1920);
});

test('a WAV file past the RIFF limit is finished as RF64', () => {
  const file = path.join(tmp, 'big.wav');
  const writer = new WavWriter(file, { sampleType: 'f32' }, { limit: 100000 });
  for (let k = 0; k < 20; k++) writer.write(frameSamples(k));
  writer.finish();
  const wav = readWav(file);
  assert.deepEqual([wav.rf64, fs.readFileSync(file).toString('latin1', 12, 16), wav.samples.length], [true, 'ds64', 20 * 1920]);
});
