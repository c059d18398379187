'use strict';
// brisvane for Node.js and Electron: records what Windows plays on its default output device.
const { Capture, start, FILL_BOUND_MS } = require('./lib/capture');
const { BrisvaneError, parseReport } = require('./lib/errors');
const { resolveCommand, resolveWatchCommand, ENVIRONMENT_VARIABLE, WATCH_VARIABLE } = require('./lib/program');
const { parseWatchLine } = require('./lib/watch_line');
const { FrameConverter, FRAME_MS } = require('./lib/format');
const { Decimator } = require('./lib/decimator');
const { WavWriter } = require('./lib/wav');

module.exports = {
  start,
  Capture,
  BrisvaneError,
  parseReport,
  resolveCommand,
  resolveWatchCommand,
  parseWatchLine,
  FrameConverter,
  Decimator,
  WavWriter,
  FRAME_MS,
  FILL_BOUND_MS,
  ENVIRONMENT_VARIABLE,
  WATCH_VARIABLE,
};
