'use strict';
// A stand-in for brisvane-capture.exe that plays one case of clients/behaviour-cases.json (its
// `program`, or its `listDevices` when asked for the device list) and notes its arguments and
// process id: node fake-program.js STATE_DIR [ARGUMENT ...] (STATE_DIR/case.json holds the case).
const fs = require('node:fs');
const path = require('node:path');

const [state, ...args] = process.argv.slice(2);
const testCase = JSON.parse(fs.readFileSync(path.join(state, 'case.json'), 'utf8'));
const runs = fs.readdirSync(state).filter((name) => name.startsWith('run-')).length;
fs.writeFileSync(path.join(state, `run-${runs}.json`), JSON.stringify({ pid: process.pid, args }));

const head = { rate: 48000, channels: 2, sampleType: 'f32' };
let split = 0;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const number = (value) => (typeof value === 'string' ? Number.parseInt(value, 16) : value);

// The counting pattern of clients/behaviour-cases.json, or zeros.
function samples(step, index, count) {
  const length = count * head.channels;
  const out = head.sampleType === 'f32' ? new Float32Array(length) : new Int16Array(length);
  if (step.pattern !== 'zero') {
    for (let k = 0, n = index * head.channels; k < length; k++, n++) {
      out[k] = head.sampleType === 'f32' ? (n % 1048576) / 1048576 - 0.5 : (n % 65536) - 32768;
    }
  }
  return Buffer.from(out.buffer);
}

function fields(layout) {
  const out = Buffer.alloc(layout.reduce((sum, [size]) => sum + size, 0));
  let at = 0;
  for (const [size, value] of layout) {
    if (size === 2) out.writeUInt16LE(value, at);
    else if (size === 4) out.writeUInt32LE(value >>> 0, at);
    else out.writeBigInt64LE(BigInt(value), at);
    at += size;
  }
  return out;
}

// The bodies of the record that `step` describes (several for a repeated AUDI).
function bodies(step) {
  switch (step.record) {
    case 'HEAD': {
      Object.assign(head, step);
      return [Buffer.concat([Buffer.from('brisvane'), fields([[2, step.major ?? 1], [2, step.minor ?? 0], [4, head.rate],
        [2, head.channels], [2, head.sampleType === 's16' ? 2 : 1], [4, step.samplesPerRecord ?? head.rate / 50],
        [2, step.timeline === 'continuous' ? 2 : 1], [2, step.source ?? 1], [4, step.pid ?? 0]])])];
    }
    case 'AUDI': {
      const out = [];
      let { index, qpc, system } = step;
      const step100ns = Math.floor((step.count * 1e7) / head.rate);
      for (let k = 0; k < (step.repeat ?? 1); k++, index += step.count, qpc += step100ns, system += step100ns) {
        out.push(Buffer.concat([fields([[8, index], [8, qpc], [8, system], [4, step.flags], [4, step.count]]), samples(step, index, step.count)]));
      }
      return out;
    }
    case 'GAP_':
      return [fields([[8, step.start], [8, step.length], [4, step.reason], [4, step.flags]])];
    case 'DEVI': {
      const [id, name] = [Buffer.from(step.id), Buffer.from(step.name)];
      return [Buffer.concat([fields([[4, step.flags], [4, id.length], [4, name.length], [4, 0]]), id, name])];
    }
    case 'REOP':
      return [fields([[4, step.reason], [4, step.attempt], [4, number(step.hresult)], [4, step.delayMs]])];
    case 'END_':
      return [fields([[4, step.reason], [4, number(step.hresult)]])];
    default:
      return [Buffer.alloc(step.size)];
  }
}

function write(data) {
  const piece = split || data.length;
  for (let at = 0; at < data.length; at += piece) fs.writeSync(1, data.subarray(at, at + piece));
}

async function play(steps) {
  for (const step of steps) {
    if (step.record !== undefined) {
      for (let body of bodies(step)) {
        const extra = step.extra ?? 0;
        body = Buffer.concat([body, Buffer.alloc(extra + ((8 - ((body.length + extra) % 8)) % 8))]);
        const record = Buffer.concat([Buffer.from(step.record, 'latin1'), fields([[4, step.size ?? body.length]]), body]);
        write(record.subarray(0, step.cut ?? record.length));
      }
    } else if (step.stderr !== undefined) {
      fs.writeSync(2, step.stderr);
    } else if (step.sleepMs !== undefined) {
      await sleep(step.sleepMs);
    } else if (step.split !== undefined) {
      split = step.split;
    } else if (step.waitStdinEnd) {
      process.stdin.resume();
      await new Promise((resolve) => process.stdin.on('end', resolve));
    } else if (step.hang) {
      await new Promise(() => {}); // standard input aside: only the watchdog or a kill ends it
    } else if (step.exit !== undefined) {
      process.exit(step.exit);
    } else {
      throw new Error(`fake-program: unknown step ${JSON.stringify(step)}`);
    }
  }
}

setTimeout(() => process.exit(0), 20000); // never outlives a failed test by long
play(testCase[args.includes('--list-devices') ? 'listDevices' : 'program']).then(() => process.exit(0));
