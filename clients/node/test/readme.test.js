'use strict';
// The JavaScript examples of this package's README and of the project's run as pasted into a
// CommonJS file, against fake-program.js.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const READMES = [path.join(__dirname, '..', 'README.md'), path.join(__dirname, '..', '..', '..', 'README.md')];
const PROGRAM = {
  listDevices: [{ record: 'HEAD', source: 5 }, { record: 'DEVI', flags: 1, id: '{s}', name: 'Speakers' },
    { record: 'DEVI', flags: 0, id: '{h}', name: 'Headset (USB)' }, { record: 'END_', reason: 4, hresult: 0 }, { exit: 0 }],
  program: [{ record: 'HEAD' }, { stderr: 'brisvane-capture started\n' }, { record: 'GAP_', start: 0, length: 960, reason: 1, flags: 0 },
    { record: 'AUDI', index: 0, qpc: 0, system: 17966448000000000, flags: 0, count: 960, repeat: 2 }, { record: 'END_', reason: 1, hresult: 0 }, { exit: 0 }],
};

test('the README examples run as pasted', { timeout: 20000 }, () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'brisvane-readme-'));
  fs.mkdirSync(path.join(dir, 'node_modules'));
  fs.symlinkSync(path.join(__dirname, '..'), path.join(dir, 'node_modules', 'brisvane'));
  fs.writeFileSync(path.join(dir, 'case.json'), JSON.stringify(PROGRAM));
  const env = { ...process.env, BRISVANE_COMMAND: JSON.stringify([process.execPath, path.join(__dirname, 'fake-program.js'), dir]) };
  const examples = READMES.flatMap((file) => [...fs.readFileSync(file, 'utf8').matchAll(/```js\n(.*?)```/gs)].map((m) => m[1]));
  assert.ok(examples.length >= 4, `${examples.length} examples`);
  for (const [k, example] of examples.entries()) {
    const file = path.join(dir, `example-${k}.js`);
    fs.writeFileSync(file, example);
    const run = spawnSync(process.execPath, [file], { env, encoding: 'utf8', timeout: 10000 });
    assert.deepEqual([run.status, run.stderr], [0, ''], example);
    if (k === 0) assert.equal(run.stdout, '0 1920\n960 1920\n');
  }
});
