'use strict';
// Where the program is found, and how its reports are taken apart.
const test = require('node:test');
const assert = require('node:assert/strict');
const { resolveCommand, resolveWatchCommand, parseReport } = require('..');

test('the program and the watcher: option, then BRISVANE_COMMAND or BRISVANE_WATCH_COMMAND, then the bundled file (out of app.asar)', () => {
  const exists = (file) => ['C:\\Program Files\\brisvane.exe', 'C:\\app\\resources\\app.asar.unpacked\\bin\\brisvane.exe',
    '/opt/b.exe', 'C:\\app\\resources\\app.asar.unpacked\\bin\\brisvane-watch.exe'].includes(file);
  const bundled = 'C:\\app\\resources\\app.asar\\bin\\brisvane.exe';
  const command = { BRISVANE_COMMAND: 'wine b.exe' };
  const cases = [
    [{ program: 'D:\\b.exe', env: { BRISVANE_COMMAND: 'wine x' } }, ['D:\\b.exe']],
    [{ program: ['wine', 'D:\\b.exe'] }, ['wine', 'D:\\b.exe']],
    [{ env: { BRISVANE_COMMAND: ' C:\\Program Files\\brisvane.exe ' } }, ['C:\\Program Files\\brisvane.exe']],
    [{ env: { BRISVANE_COMMAND: 'wine  /opt/b.exe' } }, ['wine', '/opt/b.exe']],
    [{ env: { BRISVANE_COMMAND: '["wine", "/my dir/b.exe"]' } }, ['wine', '/my dir/b.exe']],
    [{ env: {}, platform: 'win32' }, ['C:\\app\\resources\\app.asar.unpacked\\bin\\brisvane.exe']],
    [{ env: { BRISVANE_COMMAND: '  ' }, platform: 'linux' }, /UNSUPPORTED_PLATFORM.*runs on Windows only, and this is linux.*set BRISVANE_COMMAND/],
    [{ env: {}, platform: 'win32', bundled: 'C:\\gone\\brisvane.exe' }, /PROGRAM_NOT_FOUND.*C:\\gone\\brisvane.exe.*asarUnpack/],
    // The watcher: its own option and variable, then the bundled file beside the program.
    [{ watcher: ['wine', 'w.exe'], env: { BRISVANE_WATCH_COMMAND: 'x' } }, ['wine', 'w.exe'], true],
    [{ env: { ...command, BRISVANE_WATCH_COMMAND: '["wine", "/my dir/w.exe"]' } }, ['wine', '/my dir/w.exe'], true],
    [{ env: command, platform: 'win32' }, ['C:\\app\\resources\\app.asar.unpacked\\bin\\brisvane-watch.exe'], true],
    [{ env: command }, /UNSUPPORTED_PLATFORM.*brisvane-watch.exe runs on Windows only.*set BRISVANE_WATCH_COMMAND/, true],
  ];
  for (const [options, want, watcher] of cases) {
    const run = () => (watcher ? resolveWatchCommand : resolveCommand)({ platform: 'linux',
      bundled: watcher ? bundled.replace('brisvane.exe', 'brisvane-watch.exe') : bundled, exists, ...options });
    if (want instanceof RegExp) assert.throws(run, (e) => want.test(`${e.code} ${e.message}`));
    else assert.deepEqual(run(), want);
  }
});

test('reports: one cause or numbered causes, messages over several lines', () => {
  const cases = [
    ['Error: failed to write PCM frame\n\nCaused by:\n    The pipe is being closed. (os error 232)\n',
      'failed to write PCM frame', ['The pipe is being closed. (os error 232)']],
    ['Error: failed to start WASAPI stream\n\nCaused by:\n    0: Windows returned an error: first\n       second (0x88890001)\n' +
      '    1: first\n       second (0x88890001)\n',
      'failed to start WASAPI stream', ['Windows returned an error: first\nsecond (0x88890001)', 'first\nsecond (0x88890001)']],
    ['Error: failed to initialize COM\r\n\r\nCaused by:\r\n    bad\r\n    more\r\n', 'failed to initialize COM', ['bad\nmore']],
    ['', null, []],
  ];
  for (const [report, context, causes] of cases) assert.deepEqual(parseReport(report), { context, causes });
});
