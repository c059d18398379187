'use strict';
// brisvane-watch.exe as a child process: the default output device and its changes, one
// parsed line at a time. Its failure (it cannot start, it ends, a malformed line) is reported
// once, as a BrisvaneError, and ends it.
const { spawn } = require('node:child_process');
const { BrisvaneError } = require('./errors');
const { parseWatchLine } = require('./watch_line');

const NAME = 'brisvane-watch.exe';

// Starts the watcher; `onLine({ kind: 'default', id, name } | { kind: 'none' })`,
// `onFailure(error)`. Returns stop(), which ends it and resolves once it has exited.
function watchDefaultDevice(command, { env, track, onLine, onFailure }) {
  const [file, ...args] = command;
  const child = spawn(file, args, { stdio: ['ignore', 'pipe', 'pipe'], windowsHide: true, env });
  track(child);
  let done = false; // stopped or failed: nothing more is reported
  const fail = (error) => {
    if (done) return;
    done = true;
    child.kill();
    onFailure(error);
  };
  let pending = '';
  let report = '';
  let spawnError = null;
  child.stdout.setEncoding('utf8');
  child.stdout.on('data', (text) => {
    const lines = (pending + text).split('\n');
    pending = lines.pop();
    for (const line of lines) {
      if (done) return;
      let parsed;
      try {
        parsed = parseWatchLine(line);
      } catch (error) {
        fail(new BrisvaneError({ program: NAME, code: 'WATCHER_FAILED', context: `it wrote a malformed line: ${error.message}`, cause: error }));
        return;
      }
      if (parsed) onLine(parsed);
    }
  });
  child.stderr.setEncoding('utf8');
  child.stderr.on('data', (text) => {
    report += text;
  });
  child.on('error', (error) => {
    spawnError = error;
  });
  const exited = new Promise((resolve) => {
    child.on('close', (status, signal) => {
      resolve();
      if (spawnError && child.pid === undefined) {
        fail(new BrisvaneError({ program: NAME, code: spawnError.code === 'ENOENT' ? 'PROGRAM_NOT_FOUND' : 'SPAWN_FAILED',
          context: `could not be started (${command.join(' ')}): ${spawnError.message}`,
          hint: 'Check the watcher option or BRISVANE_WATCH_COMMAND', cause: spawnError }));
      } else {
        fail(new BrisvaneError({ program: NAME, status, signal, report, code: 'WATCHER_FAILED' }));
      }
    });
  });
  return () => {
    done = true;
    child.kill();
    return exited;
  };
}

module.exports = { watchDefaultDevice };
