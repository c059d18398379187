'use strict';
// BrisvaneError: how the program (or the attempt to start it) failed, with the program's
// report taken apart and, for the platform errors users meet, a code and a sentence to act on.
const fs = require('node:fs');
const path = require('node:path');

// The packed package carries a copy of the table; the source tree has the one original.
function loadTable() {
  for (const file of [path.join(__dirname, '..', 'error-codes.json'), path.join(__dirname, '..', '..', 'error-codes.json')]) {
    if (fs.existsSync(file)) return JSON.parse(fs.readFileSync(file, 'utf8')).hresults;
  }
  throw new Error('brisvane: error-codes.json is missing from the package');
}
const HRESULTS = new Map(loadTable().map((row) => [Number(row.hresult), row]));

const DEVICE_INVALIDATED = 0x88890004;

// Outcomes that come without a platform error, by exit status.
const STATUSES = {
  101: { code: 'STARTUP_LINE_FAILED', context: 'the start-up line could not be written to standard error',
    hint: 'Start brisvane with its standard error on a pipe that is read.' },
  102: { code: 'OUT_OF_MEMORY', context: 'memory could not be obtained',
    hint: 'Close other programs and try again.' },
};

// Splits a report ("Error: <context>\n\nCaused by:\n    0: ...") into its context line and
// its causes; a cause that spans lines keeps them, joined by "\n".
function parseReport(report) {
  const text = report.replace(/\r\n/g, '\n').replace(/\n+$/, '');
  if (!text.startsWith('Error: ')) return { context: text === '' ? null : text.split('\n')[0], causes: [] };
  const marker = '\n\nCaused by:\n';
  const split = text.indexOf(marker);
  const context = text.slice('Error: '.length, split < 0 ? text.length : split);
  const causes = [];
  if (split >= 0) {
    const lines = text.slice(split + marker.length).split('\n');
    const numbered = /^ *\d+: /.test(lines[0]);
    for (const line of lines) {
      const head = /^ *\d+: /.exec(line);
      if (!numbered) {
        if (causes.length === 0) causes.push(line.slice(4));
        else causes[0] += '\n' + line.slice(4);
      } else if (head && head[0].length === 7) {
        causes.push(line.slice(7));
      } else {
        causes[causes.length - 1] += '\n' + line.slice(7);
      }
    }
  }
  return { context, causes };
}

// The first HRESULT written in the causes ("0x" and eight hexadecimal digits), as a number.
function findHresult(causes) {
  for (const cause of causes) {
    const match = /0x([0-9A-Fa-f]{8})\b/.exec(cause);
    if (match) return Number.parseInt(match[1], 16);
  }
  return null;
}

class BrisvaneError extends Error {
  // Either how the program ended ({ status, signal, report }) or a failure to run it
  // ({ code, context, hint, cause }); `program` names the program that failed.
  constructor({ status = null, signal = null, report = '', code, context, hint, cause, program = 'brisvane' } = {}) {
    const parsed = parseReport(report);
    const hresult = findHresult(parsed.causes);
    const known = hresult !== null ? HRESULTS.get(hresult) : STATUSES[status];
    const what = context ?? parsed.context ?? known?.context ??
      (status === null && signal === null ? 'it could not be started' : 'it ended without a report');
    let message = `${program} `;
    if (status !== null) message += `exited with status ${status}: `;
    else if (signal !== null) message += `was ended by ${signal}: `;
    message += what;
    if (parsed.causes.length > 0) message += `: ${parsed.causes[0].split('\n')[0]}`;
    hint ??= known?.message ?? known?.hint ?? null;
    if (hint) message += `. ${hint}`;
    super(message, cause === undefined ? undefined : { cause });
    this.name = 'BrisvaneError';
    this.status = status;
    this.signal = signal;
    this.report = report;
    this.context = context ?? parsed.context;
    this.causes = parsed.causes;
    this.hresult = hresult;
    this.code = code ?? known?.code ?? (status === null && signal !== null ? 'TERMINATED' : null);
    this.hint = hint;
  }

  // Whether the program ended because its device went away (what a restart answers).
  get deviceLost() {
    return this.hresult === DEVICE_INVALIDATED;
  }
}

module.exports = { BrisvaneError, parseReport, findHresult, DEVICE_INVALIDATED };
