'use strict';
// The command line: `brisvane record out.wav [--seconds N] [--rate R] [--mono] [--s16]`
// and `brisvane doctor`.
const { start } = require('./capture');
const { resolveCommand, resolveWatchCommand, ENVIRONMENT_VARIABLE } = require('./program');
const { watchDefaultDevice } = require('./watcher');
const { WavWriter } = require('./wav');
const { FRAME_MS } = require('./format');

const USAGE = `usage: brisvane record OUT.wav [--seconds N] [--rate 48000|24000|16000|8000] [--mono] [--s16]
       brisvane doctor
Records what Windows plays on its default output device into a WAV file, on a continuous
timeline (silence is kept), following the default device and restarting when the device goes
away. Ctrl+C ends the recording.
${ENVIRONMENT_VARIABLE} starts the program another way (e.g. "wine /path/to/brisvane.exe").`;

function usageError(message) {
  return Object.assign(new Error(message), { usage: true });
}

function parseRecord(args) {
  const options = { file: null, seconds: null, rate: 48000, channels: 2, sampleType: 'f32' };
  for (let i = 0; i < args.length; i++) {
    const arg = args[i];
    const value = () => {
      if (i + 1 >= args.length) throw usageError(`${arg} needs a value`);
      return Number(args[++i]);
    };
    if (arg === '--seconds') options.seconds = value();
    else if (arg === '--rate') options.rate = value();
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
  const capture = await start({ format, timeline: 'continuous', restart: { onDefaultChange: true } });
  let wav;
  try {
    wav = new WavWriter(options.file, format);
  } catch (error) {
    await capture.stop();
    throw error;
  }
  const live = stderr.isTTY === true;
  const onSignal = () => capture.stop();
  process.on('SIGINT', onSignal);
  process.on('SIGTERM', onSignal);
  const say = (text) => stderr.write(`${live ? '\n' : ''}brisvane: ${text}\n`);
  capture.on('restart', (r) => say(r.reason === 'default-changed' ? `the default output device is now ${r.device}; recording it`
    : `the device went away; starting again in ${r.delayMs} ms (attempt ${r.attempt})`));
  capture.on('warning', (error) => say(`not following the default output device: ${error.message}`));
  const limit = options.seconds === null ? Infinity : Math.round((options.seconds * 1000) / FRAME_MS);
  let frames = 0;
  let peak = 0;
  let shownAt = 0;
  try {
    for await (const frame of capture) {
      wav.write(frame);
      frames += 1;
      peak = Math.max(peak, peakOf(frame));
      if (live && frames - shownAt >= 5) {
        stderr.write(`\r${meterLine(frames * FRAME_MS, peak, capture.gapFrames, capture.droppedFrames, capture.device)}`);
        shownAt = frames;
        peak = 0;
      }
      if (frames >= limit) break;
    }
  } finally {
    wav.finish();
    process.off('SIGINT', onSignal);
    process.off('SIGTERM', onSignal);
    await capture.stop();
    if (live) stderr.write('\n');
  }
  stderr.write(`brisvane: wrote ${options.file}: ${((frames * FRAME_MS) / 1000).toFixed(2)} s, ` +
    `${format.rate} Hz, ${format.channels === 1 ? 'mono' : 'stereo'}, ${format.sampleType}` +
    `, silence filled ${((capture.gapFrames * FRAME_MS) / 1000).toFixed(2)} s, dropped ${capture.droppedFrames} frames\n`);
}

async function doctor({ stdout = process.stdout } = {}) {
  const say = (line) => stdout.write(`${line}\n`);
  const command = resolveCommand();
  say(`program: ${command.join(' ')}`);
  say(`default output device: ${await defaultDevice()}`);
  const capture = await start({});
  say('brisvane started: Windows opened loopback capture on the default output device.');
  let frames = 0;
  let peak = 0;
  capture.on('data', (frame) => {
    frames += 1;
    peak = Math.max(peak, peakOf(frame));
  });
  await new Promise((resolve) => setTimeout(resolve, 2000));
  await capture.stop();
  if (frames === 0) {
    say('No audio in 2 s: nothing is playing (brisvane writes nothing while the device is silent). ' +
      'Play something and run doctor again to see its level.');
  } else {
    say(`Received ${(frames * FRAME_MS) / 1000} s of audio in 2 s, peak ${dbfs(peak).toFixed(1)} dBFS. Capture works.`);
  }
}

// The default device's name as brisvane-watch.exe tells it at start, or why it is not known.
async function defaultDevice() {
  let stop;
  const text = await new Promise((resolve) => {
    try {
      stop = watchDefaultDevice(resolveWatchCommand(), { env: process.env, track: () => {},
        onLine: (line) => resolve(line.kind === 'none' ? 'none' : line.name),
        onFailure: (error) => resolve(`unknown (${error.message})`) });
    } catch (error) {
      resolve(`unknown (${error.message})`);
    }
  });
  await stop?.();
  return text;
}

async function main(args) {
  const [command, ...rest] = args;
  try {
    if (command === 'record') await record(rest);
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
