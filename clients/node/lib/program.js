'use strict';
// Where the program is: the `program` option, then the BRISVANE_COMMAND environment
// variable, then the executable bundled in the package.
const fs = require('node:fs');
const path = require('node:path');
const { BrisvaneError } = require('./errors');

const ENVIRONMENT_VARIABLE = 'BRISVANE_COMMAND';
const BUNDLED = path.join(__dirname, '..', 'bin', 'win32-x64', 'brisvane.exe');

// Electron cannot start a program inside an asar archive; electron-builder's asarUnpack puts
// it beside the archive, in app.asar.unpacked.
function unpackedPath(file) {
  return file.replace(/([\\/])app\.asar([\\/])/, '$1app.asar.unpacked$2');
}

// An override: a path (an existing file, blanks and all), a JSON array of strings, or words
// separated by blanks (a program and its first arguments, e.g. "wine /path/brisvane.exe").
function parseCommand(value, exists = fs.existsSync) {
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
function resolveCommand({ program, env = process.env, platform = process.platform, bundled = BUNDLED,
  exists = fs.existsSync } = {}) {
  if (Array.isArray(program)) {
    if (program.length === 0) throw new TypeError('program must not be an empty array');
    return [...program];
  }
  if (typeof program === 'string') return [program];
  if (env[ENVIRONMENT_VARIABLE]?.trim()) return parseCommand(env[ENVIRONMENT_VARIABLE], exists);
  if (platform !== 'win32') {
    throw new BrisvaneError({
      code: 'UNSUPPORTED_PLATFORM',
      context: `brisvane.exe runs on Windows only, and this is ${platform}`,
      hint: `To run it another way (for example under Wine), set ${ENVIRONMENT_VARIABLE} ` +
        '(e.g. "wine /path/to/brisvane.exe") or pass the program option',
    });
  }
  const file = unpackedPath(bundled);
  if (!exists(file)) {
    throw new BrisvaneError({
      code: 'PROGRAM_NOT_FOUND',
      context: `the bundled program is missing: ${file}`,
      hint: `Reinstall the package (in Electron, list it under asarUnpack), or set ${ENVIRONMENT_VARIABLE} ` +
        'or the program option to the path of brisvane.exe',
    });
  }
  return [file];
}

module.exports = { resolveCommand, parseCommand, unpackedPath, ENVIRONMENT_VARIABLE, BUNDLED };
