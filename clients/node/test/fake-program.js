'use strict';
// Speaks the program's protocol (or the watcher's): node fake-program.js PLAN. The plan is a list
// of runs, one per start (counted in PLAN.count). A run's steps: { stderr: TEXT }, { stdout: TEXT }, { frames: N, from: K, split:
// [sizes, cycled] } (frames K.. of the test signal), { sleep: MS }, { exit: STATUS }; without
// an exit it waits until it is ended (a minute at most).
const fs = require('node:fs');
const { frameBytes } = require('./signal');

const planFile = process.argv[2];
const plan = JSON.parse(fs.readFileSync(planFile, 'utf8'));
const countFile = `${planFile}.count`;
const index = fs.existsSync(countFile) ? Number(fs.readFileSync(countFile, 'utf8')) : 0;
fs.writeFileSync(countFile, String(index + 1));
fs.writeFileSync(`${planFile}.pid${index}`, String(process.pid));
const steps = plan[Math.min(index, plan.length - 1)];

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const write = (stream, data) => new Promise((resolve) => stream.write(data, resolve));

async function main() {
  for (const step of steps) {
    if (step.stderr !== undefined) await write(process.stderr, step.stderr);
    if (step.stdout !== undefined) await write(process.stdout, step.stdout);
    if (step.frames !== undefined) {
      const bytes = Buffer.concat(Array.from({ length: step.frames }, (_, k) => frameBytes(step.from + k)));
      const split = step.split ?? [bytes.length];
      for (let at = 0, i = 0; at < bytes.length; i++) {
        const n = split[i % split.length];
        await write(process.stdout, bytes.subarray(at, at + n));
        at += n;
        if (split.length > 1) await sleep(1); // separate reads on the other side
      }
    }
    if (step.sleep !== undefined) await sleep(step.sleep);
    if (step.exit !== undefined) process.exit(step.exit);
  }
  setTimeout(() => process.exit(0), 60000); // never outlives a failed test by long
}

main();
