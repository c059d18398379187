// Run by Windows Node.js: starts brisvane.exe with its standard output on a pipe of the given
// kind ('pipe' or 'overlapped'), pauses reading now and then so that writes pend, and leaves
// what it saw in DIR (Node.js's console output does not work under Wine).
const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');

const [exe, kind, dir] = process.argv.slice(2);
const child = spawn(exe, [], { stdio: ['ignore', kind, 'pipe'] });
const out = fs.createWriteStream(path.join(dir, 'stdout.bin'));
const err = [];
let chunks = 0;
child.stdout.on('data', (chunk) => {
  out.write(chunk);
  if (++chunks % 40 === 0) {
    child.stdout.pause();
    setTimeout(() => child.stdout.resume(), 30);
  }
});
child.stderr.on('data', (chunk) => err.push(chunk));
child.on('close', (status) => {
  out.end(() => {
    fs.writeFileSync(path.join(dir, 'stderr.bin'), Buffer.concat(err));
    fs.writeFileSync(path.join(dir, 'status.txt'), String(status));
  });
});
