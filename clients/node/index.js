'use strict';
// brisvane for Node.js and Electron: records what Windows plays (an output device, one
// application, or every application but one) through brisvane-capture.exe.
const { Capture, start } = require('./lib/capture');
const { devices } = require('./lib/devices');
const { BrisvaneError, parseReport } = require('./lib/errors');
const { resolveCommand, ENVIRONMENT_VARIABLE } = require('./lib/program');
const { FRAME_MS } = require('./lib/arguments');
const { WavWriter } = require('./lib/wav');
const { FRAME_FLAGS } = require('./lib/records');

module.exports = { start, Capture, devices, BrisvaneError, parseReport, resolveCommand, WavWriter, FRAME_MS, FRAME_FLAGS, ENVIRONMENT_VARIABLE };
