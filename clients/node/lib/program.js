'use strict';
// Where the programs are: brisvane.exe from the `program` option, then the BRISVANE_COMMAND
// environment variable, then the executable bundled in the package; brisvane-watch.exe the
// same way from the `watcher` option and BRISVANE_WATCH_COMMAND.
const fs = require('node:fs');
const path = require('node:path');
const { BrisvaneError } = require('./errors');

const ENVIRONMENT_VARIABLE = 'BRISVANE_COMMAND';
const WATCH_VARIABLE = 'BRISVANE_WATCH_COMMAND';
const BUNDLED = path.join(__dirname, '..', 'bin', 'win32-x64', 'brisvane.exe');
const BUNDLED_WATCHER = path.join(path.dirname(BUNDLED), 'brisvane-watch.exe');

// Electron cannot start a program inside an asar archive; electron-builder's asarUnpack puts
// it beside the archive, in app.asar.unpacked.
function unpackedPath(file) {
  return file.replace(/([\\/])app\.asar([\\/])/, '$1app.asar.unpacked$2');
}

// An override: a path (an existing file, blanks and all), a JSON array of strings, or words
// separated by blanks (a program and its first arguments, e.g. "wine /path/brisvane.exe").
function parseCommand(value, exists = fs.existsSync, variable = ENVIRONMENT_VARIABLE) {
  const text = value.trim();
  if (exists(text)) return [text];
  if (text.startsWith('[')) {
    const words = JSON.parse(text);
    if (!Array.isArray(words) || words.length === 0 || !words.every((w) => typeof w === 'string')) {
      throw new TypeError(`${variable} must be a path, words, or a JSON array of strings`);
    }
    return words;
  }
  return text.split(/\s+/);
}

const PROGRAM = { option: 'program', variable: ENVIRONMENT_VARIABLE, name: 'brisvane.exe', bundled: BUNDLED };
const WATCHER = { option: 'watcher', variable: WATCH_VARIABLE, name: 'brisvane-watch.exe', bundled: BUNDLED_WATCHER };

// The command that starts the program: [file, ...args].
function resolveCommand({ program, ...where } = {}) {
  return resolve(PROGRAM, program, where);
}

// The command that starts brisvane-watch.exe.
function resolveWatchCommand({ watcher, ...where } = {}) {
  return resolve(WATCHER, watcher, where);
}

function resolve({ option, variable, name, bundled: inPackage }, given,
  { env = process.env, platform = process.platform, bundled = inPackage, exists = fs.existsSync }) {
  if (Array.isArray(given)) {
    if (given.length === 0) throw new TypeError(`${option} must not be an empty array`);
    return [...given];
  }
  if (typeof given === 'string') return [given];
  if (env[variable]?.trim()) return parseCommand(env[variable], exists, variable);
  if (platform !== 'win32') {
    throw new BrisvaneError({
      code: 'UNSUPPORTED_PLATFORM',
      context: `${name} runs on Windows only, and this is ${platform}`,
      hint: `To run it another way (for example under Wine), set ${variable} ` +
        `(e.g. "wine /path/to/${name}") or pass the ${option} option`,
    });
  }
  const file = unpackedPath(bundled);
  if (!exists(file)) {
    throw new BrisvaneError({
      code: 'PROGRAM_NOT_FOUND',
      context: `the bundled program is missing: ${file}`,
      hint: `Reinstall the package (in Electron, list it under asarUnpack), or set ${variable} ` +
        `or the ${option} option to the path of ${name}`,
    });
  }
  return [file];
}

module.exports = { resolveCommand, resolveWatchCommand, parseCommand, unpackedPath, ENVIRONMENT_VARIABLE, WATCH_VARIABLE, BUNDLED };
