'use strict';
// The output devices (brisvane-capture.exe --list-devices), and a device chosen by its id or
// by a friendly name that matches exactly one of them.
const { BrisvaneError } = require('./errors');
const { resolveCommand, startProgram } = require('./program');
const { RecordError, RecordSplitter, readDevice, readEnd } = require('./records');

const LISTED = 4;

// Resolves with [{ id, name, isDefault }], the active output devices.
function devices({ program, env = process.env } = {}) {
  return new Promise((resolve, reject) => {
    const list = [];
    let end = null;
    let report = '';
    let unreadable = null; // a record that cannot be read: the program is ended, the list refused
    const splitter = new RecordSplitter((type, body) => {
      if (type === 'DEVI') list.push(readDevice(body));
      else if (type === 'END_') end = readEnd(body);
    });
    const child = startProgram(resolveCommand({ program, env }), ['--list-devices'], env, (error, status, signal) => {
      if (error) reject(error);
      else if (unreadable) reject(new BrisvaneError({ report, code: unreadable.code, context: `wrote ${unreadable.message}` }));
      else if (end?.reason === LISTED && status === 0) resolve(list);
      else reject(new BrisvaneError({ status, signal, report, hresult: end?.hresult }));
    });
    child.stdin.end();
    child.stdout.on('data', (chunk) => {
      if (unreadable) return;
      try {
        splitter.push(chunk);
      } catch (error) {
        if (!(error instanceof RecordError)) throw error;
        unreadable = error;
        child.kill();
      }
    });
    child.stderr.on('data', (text) => {
      report += text;
    });
  });
}

// The id of the device named by `wanted`: an endpoint id ("{0.0.0.00000000}.{...}", passed on
// as it is: the program waits for a device that is not there now), or a friendly name that one
// device has (compared without regard to case) or, failing that, that is part of one device's name.
async function deviceId(wanted, options) {
  if (wanted.startsWith('{')) return wanted;
  const all = await devices(options);
  const name = wanted.toLowerCase();
  let found = all.filter((d) => d.name.toLowerCase() === name);
  if (found.length === 0) found = all.filter((d) => d.name.toLowerCase().includes(name));
  if (found.length === 1) return found[0].id;
  const names = (found.length > 0 ? found : all).map((d) => JSON.stringify(d.name)).join(', ') || 'none';
  throw new BrisvaneError({ code: found.length === 0 ? 'DEVICE_NOT_FOUND' : 'DEVICE_AMBIGUOUS', program: 'brisvane',
    context: `found ${found.length === 0 ? 'no' : found.length} output devices named ${JSON.stringify(wanted)} (` +
      `${found.length === 0 ? 'there are' : 'they are'}: ${names})` });
}

module.exports = { devices, deviceId };
