'use strict';
// brisvane-capture.exe: where it is (the `program` option, then the BRISVANE_COMMAND environment
// variable, then the executable bundled in the package) and how it is started, so that it
// never outlives this process.
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { BrisvaneError } = require('./errors');

const ENVIRONMENT_VARIABLE = 'BRISVANE_COMMAND';
const PROGRAM_NAME = 'brisvane-capture.exe';
const BUNDLED = path.join(__dirname, '..', 'bin', 'win32-x64', PROGRAM_NAME);
// Electron cannot start a program inside an asar archive; electron-builder's asarUnpack and
// Electron Forge's asar.unpack put it beside the archive, in app.asar.unpacked.
function unpackedPath(file) {
  return file.replace(/([\\/])app\.asar([\\/])/, '$1app.asar.unpacked$2');
}

// An override: a path (an existing file, blanks and all), a JSON array of strings, or words
// separated by blanks (a program and its first arguments, e.g. "wine /path/brisvane-capture.exe").
function parseCommand(value, exists) {
  const text = value.trim();
  if (exists(text)) return [text];
  if (text.startsWith('[')) {
    const words = JSON.parse(text);
    if (!Array.isArray(words) || words.length === 0 || !words.every((w) => typeof w === 'string')) {
      throw new TypeError(`${ENVIRONMENT_VARIABLE} must be a path, words, or a JSON array of strings`);
    }
    return words;
  }
  return text.split(/\s+/);
}

// The command that starts the program: [file, ...args].
function resolveCommand({ program, env = process.env, platform = process.platform, bundled = BUNDLED, exists = fs.existsSync } = {}) {
  if (Array.isArray(program)) {
    if (program.length === 0) throw new TypeError('program must not be an empty array');
    return [...program];
  }
  if (typeof program === 'string') return [program];
  if (env[ENVIRONMENT_VARIABLE]?.trim()) return parseCommand(env[ENVIRONMENT_VARIABLE], exists);
  if (platform !== 'win32') {
    throw new BrisvaneError({ code: 'UNSUPPORTED_PLATFORM', program: 'brisvane', context: `cannot start its program on ${platform}` });
  }
  const file = unpackedPath(bundled);
  if (!exists(file)) throw new BrisvaneError({ code: 'PROGRAM_NOT_FOUND', program: PROGRAM_NAME, context: `is missing from the package: ${file}` });
  return [file];
}

// Children still running when this process exits are ended with it (on Windows the job object
// that Node.js puts its children in also ends them when this process is killed).
const running = new Set();
let endsChildrenAtExit = false;

// Starts the program with pipes for its three standard streams; `onClose(error, status, signal)`
// once it has ended and its pipes are read to their end (error: it could not be started).
function startProgram(command, args, env, onClose) {
  const [file, ...first] = command;
  const child = spawn(file, [...first, ...args], { stdio: 'pipe', windowsHide: true, env });
  if (!endsChildrenAtExit) {
    endsChildrenAtExit = true;
    process.on('exit', () => {
      for (const c of running) c.kill();
    });
  }
  running.add(child);
  let failure = null;
  child.on('error', (error) => {
    failure ??= error;
  });
  child.stdin.on('error', () => {}); // the program has ended: what it did not read does not matter
  child.on('close', (status, signal) => {
    running.delete(child);
    if (child.pid !== undefined || !failure) return onClose(null, status, signal);
    const missing = failure.code === 'ENOENT';
    onClose(new BrisvaneError({ code: missing ? 'PROGRAM_NOT_FOUND' : 'SPAWN_FAILED', program: PROGRAM_NAME, cause: failure,
      context: missing ? `was not found: ${file}` : `could not be started (${command.join(' ')}): ${failure.message}` }));
  });
  return child;
}

module.exports = { resolveCommand, startProgram, unpackedPath, ENVIRONMENT_VARIABLE, PROGRAM_NAME, BUNDLED };
