'use strict';
// BrisvaneError: how the program (or the attempt to start it) failed, with the program's
// report taken apart and, for the platform errors users meet, a code and a sentence to act on.
const fs = require('node:fs');
const path = require('node:path');

// The packed package carries a copy of the table; the source tree has the one original.
function loadTable() {
  for (const file of [path.join(__dirname, '..', 'error-codes.json'), path.join(__dirname, '..', '..', 'error-codes.json')]) {
    if (fs.existsSync(file)) return JSON.parse(fs.readFileSync(file, 'utf8'));
  }
  throw new Error('brisvane: error-codes.json is missing from the package');
}
const TABLE = loadTable();
// What is known of an HRESULT, of an exit status that comes without one, and of the package's own codes.
const HRESULTS = new Map(TABLE.hresults.map((row) => [Number(row.hresult), row]));
const STATUSES = new Map(TABLE.statuses.map((row) => [row.status, row]));
const CODES = new Map(TABLE.codes.map((row) => [row.code, row]));

const REPORT_START = 'Error: ';
const DEVICE_INVALIDATED = 0x88890004;

// Splits a report ("Error: <context>\n\nCaused by:\n    0: ...") into its context line and
// its causes; a cause that spans lines keeps them, joined by "\n". The report starts at the
// first line that begins with "Error: ": lines before it (Wine's, a tool's) are not part of it.
function parseReport(report) {
  const text = report.replace(/\r\n/g, '\n').replace(/\n+$/, '');
  const at = `\n${text}`.indexOf(`\n${REPORT_START}`);
  if (at < 0) return { context: text === '' ? null : text.split('\n')[0], causes: [] };
  const marker = '\n\nCaused by:\n';
  const split = text.indexOf(marker, at);
  const context = text.slice(at + REPORT_START.length, split < 0 ? text.length : split);
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
  // Either how the program ended ({ status, signal, report, hresult: the one its stream named })
  // or a failure of the package's own ({ code, context, hint, cause }): then the message is
  // `program` followed by `context` ("brisvane-capture.exe was not found: ...").
  constructor({ status = null, signal = null, report = '', hresult = null, code, context, hint, cause,
    program = 'brisvane-capture' } = {}) {
    const parsed = parseReport(report);
    const found = findHresult(parsed.causes) ?? (hresult || null);
    const known = (found !== null && HRESULTS.get(found)) || STATUSES.get(status) || CODES.get(code);
    const what = context ?? parsed.context ?? known?.what ?? 'it ended without a report';
    let message = `${program} `;
    if (status !== null) message += `exited with status ${status}: `;
    else if (signal !== null) message += `was ended by ${signal}: `;
    message += what;
    if (parsed.causes.length > 0) message += `: ${parsed.causes[0].split('\n')[0]}`;
    hint ??= known?.message ?? null;
    if (hint) message += `. ${hint}`;
    super(message, cause === undefined ? undefined : { cause });
    this.name = 'BrisvaneError';
    this.status = status;
    this.signal = signal;
    this.report = report;
    this.context = context ?? parsed.context;
    this.causes = parsed.causes;
    this.hresult = found;
    this.code = code ?? known?.code ?? (status === null && signal !== null ? 'TERMINATED' : null);
    this.hint = hint;
  }

  // Whether the device went away (what `restart` answers).
  get deviceLost() {
    return this.hresult === DEVICE_INVALIDATED;
  }
}

module.exports = { BrisvaneError, parseReport };
