'use strict';
// A capture's options checked (a TypeError names the first one that is wrong) and turned into
// brisvane-capture.exe's command line (docs/PROTOCOL.md).
const RATES = [48000, 24000, 16000, 12000, 9600, 8000, 6000, 4800, 4000];
const SAMPLE_TYPES = ['f32', 's16'];
const THIS_APP = 'all-but-this-app';
const FRAME_MS = 20;
const DEFAULT_FILL_LAG_MS = 200;

// Checks and completes a format given as { sampleType, rate, channels }.
function normalizeFormat(format = {}) {
  const { sampleType = 'f32', rate = 48000, channels = 2 } = format;
  if (!SAMPLE_TYPES.includes(sampleType)) {
    throw new TypeError(`sampleType must be one of ${SAMPLE_TYPES.join(', ')}, not ${JSON.stringify(sampleType)}`);
  }
  if (!RATES.includes(rate)) throw new TypeError(`rate must be one of ${RATES.join(', ')}, not ${rate}`);
  if (channels !== 1 && channels !== 2) throw new TypeError(`channels must be 1 or 2, not ${channels}`);
  return { sampleType, rate, channels, samplesPerFrame: (rate / 1000) * FRAME_MS * channels };
}

function count(name, value, max = 2 ** 31) {
  if (!Number.isInteger(value) || value < 0 || value > max) throw new TypeError(`${name} must be an integer from 0 to ${max}, not ${value}`);
  return String(value);
}

// The app whose sounds stay out with 'all-but-this-app': in Electron the main process, which
// owns the audio service; a renderer or utility process is its child.
function thisAppPid() {
  return process.type && process.type !== 'browser' ? process.ppid : process.pid;
}

// The source option: [arguments, the device to look up by id or name (or null)].
function sourceArguments(source = 'default') {
  if (source === 'default') return [[], null];
  if (source === THIS_APP) return [['--all-but', String(thisAppPid())], null];
  const [kind, ...more] = Object.keys(source ?? {});
  if (more.length === 0 && kind === 'device' && typeof source.device === 'string' && source.device.trim() !== '') {
    return [[], source.device];
  }
  if (more.length === 0 && (kind === 'app' || kind === 'allBut') && Number.isInteger(source[kind]) && source[kind] > 0) {
    return [[kind === 'app' ? '--app' : '--all-but', String(source[kind])], null];
  }
  throw new TypeError(`source must be 'default', '${THIS_APP}', { device: ID_OR_NAME }, { app: PID } or { allBut: PID }, ` +
    `not ${JSON.stringify(source)}`);
}

// { format, args (without the source), source: [arguments, device], maxQueuedFrames }.
function captureSettings({ format, timeline = 'exact', restart = false, fillLagMs, source, maxQueuedFrames = 500 } = {}) {
  const normalized = normalizeFormat(format);
  if (timeline !== 'exact' && timeline !== 'continuous') {
    throw new TypeError(`timeline must be 'exact' or 'continuous', not ${JSON.stringify(timeline)}`);
  }
  if (!Number.isInteger(maxQueuedFrames) || maxQueuedFrames < 1) throw new TypeError('maxQueuedFrames must be a positive integer');
  if (restart !== true && restart !== false && (typeof restart !== 'object' || restart === null)) {
    throw new TypeError(`restart must be true, false or { maxAttempts, delayMs, maxDelayMs, onDefaultChange }, not ${restart}`);
  }
  const args = ['--rate', String(normalized.rate), '--channels', String(normalized.channels),
    '--sample-type', normalized.sampleType, '--timeline', timeline];
  if (timeline === 'continuous') args.push('--fill-lag', count('fillLagMs', fillLagMs ?? DEFAULT_FILL_LAG_MS, 10000));
  if (restart) {
    // A sub-option given as undefined takes its default, as the other options do.
    const { maxAttempts = 5, delayMs = 250, maxDelayMs = 4000, onDefaultChange = false } = restart === true ? {} : restart;
    args.push('--reopen', count('restart.maxAttempts', maxAttempts, 1000), '--reopen-delay', count('restart.delayMs', delayMs, 600000),
      '--reopen-max-delay', count('restart.maxDelayMs', maxDelayMs, 600000));
    if (!onDefaultChange) args.push('--no-follow');
  } else {
    args.push('--reopen', '0', '--no-follow');
  }
  return { format: normalized, args, source: sourceArguments(source), maxQueuedFrames };
}

module.exports = { captureSettings, normalizeFormat, FRAME_MS, THIS_APP };
