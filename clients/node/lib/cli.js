'use strict';
// The command line: `brisvane record out.wav [--seconds N] [--rate R] [--mono] [--s16]
// [--device NAME] [--app PID]`, `brisvane devices` and `brisvane doctor`.
const { Capture, start } = require('./capture');
const { devices } = require('./devices');
const { resolveCommand, ENVIRONMENT_VARIABLE } = require('./program');
const { WavWriter } = require('./wav');
const { FRAME_MS } = require('./arguments');

const USAGE = `usage: brisvane record OUT.wav [--seconds N] [--rate HZ] [--mono] [--s16] [--device NAME | --app PID]
       brisvane devices
       brisvane doctor
record: records what Windows plays into a WAV file, on a continuous timeline (silence is
kept): the default output device (followed when Windows changes it), the output device named
(by its id or a part of its name that no other device has), or one application and its child
processes (its process id; the recording ends when it exits). Ctrl+C ends the recording.
devices: lists the output devices. doctor: tries a capture and says what happened.
${ENVIRONMENT_VARIABLE} starts the program another way (e.g. "wine /path/to/brisvane-capture.exe").`;

function usageError(message) {
  return Object.assign(new Error(message), { usage: true });
}

function parseRecord(args) {
  const options = { file: null, seconds: null, rate: 48000, channels: 2, sampleType: 'f32', source: 'default' };
  for (let i = 0; i < args.length; i++) {
    const arg = args[i];
    const value = () => {
      if (i + 1 >= args.length) throw usageError(`${arg} needs a value`);
      return args[++i];
    };
    if (arg === '--seconds') options.seconds = Number(value());
    else if (arg === '--rate') options.rate = Number(value());
    else if (arg === '--device') options.source = { device: value() };
    else if (arg === '--app') options.source = { app: Number(value()) };
    else if (arg === '--mono') options.channels = 1;
    else if (arg === '--s16') options.sampleType = 's16';
    else if (!arg.startsWith('--') && options.file === null) options.file = arg;
    else throw usageError(`unknown argument ${arg}`);
  }
  if (!options.file) throw usageError('record needs the name of the WAV file');
  if (options.seconds !== null && !(options.seconds > 0)) throw usageError('--seconds wants a positive number');
  return options;
}

function dbfs(peak) {
  return peak > 0 ? 20 * Math.log10(peak) : -Infinity;
}

function peakOf(frame) {
  const scale = frame instanceof Int16Array ? 1 / 32768 : 1;
  let peak = 0;
  for (let i = 0; i < frame.length; i++) {
    const v = Math.abs(frame[i]);
    if (v > peak) peak = v;
  }
  return peak * scale;
}

// The live line: elapsed time, a level bar, the peak, the gaps filled, the frames dropped and
// the device recorded.
function meterLine(ms, peak, gapFrames, droppedFrames, device = null) {
  const db = dbfs(peak);
  const width = 30;
  const filled = Math.max(0, Math.min(width, Math.round(((db + 60) / 60) * width)));
  const minutes = Math.floor(ms / 60000);
  const seconds = ((ms % 60000) / 1000).toFixed(1).padStart(4, '0');
  const level = Number.isFinite(db) ? `${db.toFixed(1).padStart(6)} dBFS` : '  -inf dBFS';
  return `${String(minutes).padStart(2, '0')}:${seconds} [${'#'.repeat(filled)}${'.'.repeat(width - filled)}] ` +
    `${level}  gaps ${((gapFrames * FRAME_MS) / 1000).toFixed(1)} s  dropped ${droppedFrames}` +
    (device ? `  Recording: ${device.name}` : '');
}

async function record(args, { stderr = process.stderr } = {}) {
  const options = parseRecord(args);
  const format = { rate: options.rate, channels: options.channels, sampleType: options.sampleType };
  const capture = new Capture({ format, source: options.source, timeline: 'continuous', restart: { onDefaultChange: true } });
  const live = stderr.isTTY === true;
  const say = (text) => stderr.write(`${live ? '\n' : ''}brisvane: ${text}\n`);
  // Listened to before the start: the first device can be named before the start-up line comes.
  capture.on('restart', (r) => say(r.reason === 'device-lost' ? `the device went away (attempt ${r.attempt} to open it again)`
    : r.reason === 'default-changed' ? 'the default output device changed' : 'a device is back'));
  capture.on('device', (d) => say(d ? `recording ${d.name}` : 'no output device: waiting for one'));
  await capture.started;
  // Before the file is made: once it exists, Ctrl+C finishes it rather than ending the process.
  const onSignal = () => capture.stop();
  process.on('SIGINT', onSignal);
  process.on('SIGTERM', onSignal);
  let wav = null;
  const limit = options.seconds === null ? Infinity : Math.round((options.seconds * 1000) / FRAME_MS);
  let [frames, peak, shownAt] = [0, 0, 0];
  try {
    wav = new WavWriter(options.file, format);
    for await (const frame of capture) {
      wav.write(frame);
      frames += 1;
      peak = Math.max(peak, peakOf(frame));
      if (live && frames - shownAt >= 5) {
        stderr.write(`\r${meterLine(frames * FRAME_MS, peak, capture.gapFrames, capture.droppedFrames, capture.device)}`);
        [shownAt, peak] = [frames, 0];
      }
      if (frames >= limit) break;
    }
  } finally {
    wav?.finish();
    process.off('SIGINT', onSignal);
    process.off('SIGTERM', onSignal);
    await capture.stop();
    if (live) stderr.write('\n');
  }
  if (capture.endReason === 'app-exited') say('the application exited');
  stderr.write(`brisvane: wrote ${options.file}: ${((frames * FRAME_MS) / 1000).toFixed(2)} s, ` +
    `${format.rate} Hz, ${format.channels === 1 ? 'mono' : 'stereo'}, ${format.sampleType}` +
    `, silence filled ${((capture.gapFrames * FRAME_MS) / 1000).toFixed(2)} s, dropped ${capture.droppedFrames} frames\n`);
}

function deviceLines(list) {
  return list.map((d) => `${d.isDefault ? '*' : ' '} ${d.name || '(no name)'}  ${d.id}`);
}

async function listDevices({ stdout = process.stdout } = {}) {
  const list = await devices();
  stdout.write(list.length === 0 ? 'no active output device\n' : `${deviceLines(list).join('\n')}\n(* the default)\n`);
}

async function doctor({ stdout = process.stdout } = {}) {
  const say = (line) => stdout.write(`${line}\n`);
  say(`program: ${resolveCommand().join(' ')}`);
  const list = await devices();
  say(list.length === 0 ? 'output devices: none (the capture waits for one)' : ['output devices (* the default):', ...deviceLines(list)].join('\n  '));
  const capture = await start({});
  say('brisvane-capture started: Windows opened loopback capture on the default output device.');
  let [frames, peak] = [0, 0];
  capture.on('data', (frame) => {
    frames += 1;
    peak = Math.max(peak, peakOf(frame));
  });
  await new Promise((resolve) => setTimeout(resolve, 2000));
  await capture.stop();
  if (frames === 0) {
    say('No audio in 2 s: nothing is playing (Windows delivers nothing while the device is silent). ' +
      'Play something and run doctor again to see its level.');
  } else {
    say(`Received ${(frames * FRAME_MS) / 1000} s of audio in 2 s, peak ${dbfs(peak).toFixed(1)} dBFS. Capture works.`);
  }
}

async function main(args) {
  const [command, ...rest] = args;
  try {
    if (command === 'record') await record(rest);
    else if (command === 'devices') await listDevices();
    else if (command === 'doctor') await doctor();
    else {
      process.stderr.write(`${USAGE}\n`);
      return command === undefined || command === '--help' ? 0 : 2;
    }
    return 0;
  } catch (error) {
    if (error.name !== 'BrisvaneError') {
      process.stderr.write(`brisvane: ${error.message}\n${error.usage ? `${USAGE}\n` : ''}`);
      return error.usage ? 2 : 1;
    }
    process.stderr.write(`${command === 'doctor' ? 'brisvane could not capture. ' : ''}${error.message}\n`);
    if (error.code) process.stderr.write(`(code ${error.code}${error.hresult !== null ? `, HRESULT 0x${error.hresult.toString(16).toUpperCase().padStart(8, '0')}` : ''})\n`);
    if (error.report) process.stderr.write(`\nThe program's report:\n${error.report}`);
    return 1;
  }
}

module.exports = { main, meterLine, parseRecord };
