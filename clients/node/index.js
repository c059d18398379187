'use strict';
// brisvane for Node.js and Electron: records what Windows plays (an output device, one
// application, or every application but one) through brisvane-capture.exe.
const { Capture, start } = require('./lib/capture');
const { devices } = require('./lib/devices');
const { BrisvaneError, parseReport } = require('./lib/errors');
const { resolveCommand, ENVIRONMENT_VARIABLE } = require('./lib/program');
const { FRAME_MS } = require('./lib/arguments');
const { WavWriter } = require('./lib/wav');

// The bits of a frame's `flags`.
const FRAME_FLAGS = Object.freeze({ SILENT: 1, DISCONTINUITY: 2, TIMESTAMP_ERROR: 4, FILLED: 8 });

module.exports = { start, Capture, devices, BrisvaneError, parseReport, resolveCommand, WavWriter, FRAME_MS, FRAME_FLAGS, ENVIRONMENT_VARIABLE };
