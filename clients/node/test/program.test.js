'use strict';
// Where the program is found (in Electron too, as the README tells to pack it), and how
// reports are taken apart.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { resolveCommand, parseReport } = require('..');

const TIMEOUT = { timeout: 5000 };
const INSIDE_APP = 'node_modules/brisvane/bin/win32-x64/brisvane-capture.exe';

test('the program: option, then BRISVANE_COMMAND, then the bundled file (out of app.asar)', TIMEOUT, () => {
  const bundled = `C:\\app\\resources\\app.asar\\${INSIDE_APP.replaceAll('/', '\\')}`;
  const unpacked = bundled.replace('app.asar', 'app.asar.unpacked');
  const exists = (file) => ['C:\\Program Files\\brisvane-capture.exe', unpacked, '/opt/b.exe'].includes(file);
  const cases = [
    [{ program: 'D:\\b.exe', env: { BRISVANE_COMMAND: 'wine x' } }, ['D:\\b.exe']],
    [{ program: ['wine', 'D:\\b.exe'] }, ['wine', 'D:\\b.exe']],
    [{ env: { BRISVANE_COMMAND: ' C:\\Program Files\\brisvane-capture.exe ' } }, ['C:\\Program Files\\brisvane-capture.exe']],
    [{ env: { BRISVANE_COMMAND: 'wine  /opt/b.exe' } }, ['wine', '/opt/b.exe']],
    [{ env: { BRISVANE_COMMAND: '["wine", "/my dir/b.exe"]' } }, ['wine', '/my dir/b.exe']],
    [{ env: {}, platform: 'win32' }, [unpacked]],
    [{ env: { BRISVANE_COMMAND: '  ' }, platform: 'linux' }, /^UNSUPPORTED_PLATFORM brisvane cannot start its program on linux\. brisvane-capture.exe runs on Windows\. .*set BRISVANE_COMMAND/],
    [{ env: {}, platform: 'win32', bundled: 'C:\\gone\\brisvane-capture.exe' }, /^PROGRAM_NOT_FOUND .*C:\\gone\\brisvane-capture.exe\. /],
  ];
  for (const [options, want] of cases) {
    const run = () => resolveCommand({ platform: 'linux', bundled, exists, ...options });
    if (want instanceof RegExp) assert.throws(run, (e) => want.test(`${e.code} ${e.message}`));
    else assert.deepEqual(run(), want);
  }
});

test('the README\'s Electron packing (electron-builder asarUnpack, Electron Forge asar.unpack) unpacks the program', TIMEOUT, () => {
  const readme = fs.readFileSync(path.join(__dirname, '..', 'README.md'), 'utf8');
  const builder = /"asarUnpack": \["([^"]+)"\]/.exec(readme)?.[1]; // relative to the app's folder
  const forge = /asar: \{ unpack: '([^']+)' \}/.exec(readme)?.[1]; // matched against whole paths
  assert.ok(builder && forge, 'the README names both');
  assert.ok(path.matchesGlob(INSIDE_APP, builder), builder);
  assert.ok(path.matchesGlob(`/home/dev/app/${INSIDE_APP}`, forge), forge);
});

test('a report: unnumbered causes over several lines, Windows line ends; no report', TIMEOUT, () => {
  assert.deepEqual(parseReport('Error: failed to initialize COM\r\n\r\nCaused by:\r\n    bad\r\n    more\r\n'),
    { context: 'failed to initialize COM', causes: ['bad\nmore'] });
  assert.deepEqual(parseReport(''), { context: null, causes: [] });
});
