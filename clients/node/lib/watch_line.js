'use strict';
// The parsing rule for one line of brisvane-watch.exe's standard output (docs/PROTOCOL.md,
// "brisvane-watch.exe"), for other clients to copy or port. Nothing else lives here.

const ESCAPES = { '\\': '\\', t: '\t', n: '\n', r: '\r' };

function unescapeField(field) {
  let out = '';
  for (let i = 0; i < field.length; i++) {
    const c = field[i];
    if (c !== '\\') {
      out += c;
      continue;
    }
    const next = field[i + 1];
    if (!Object.hasOwn(ESCAPES, next)) throw new Error(`bad escape in watcher field ${JSON.stringify(field)}`);
    out += ESCAPES[next];
    i++;
  }
  return out;
}

// `line`: one line, decoded as UTF-8, without its line feed. Returns
// { kind: 'default', id, name } or { kind: 'none' }; null for a line of a kind this rule does
// not know (skip it); throws for a malformed line.
function parseWatchLine(line) {
  const fields = line.split('\t');
  if (fields[0] === 'default') {
    if (fields.length !== 3) throw new Error(`a default line has 3 fields: ${JSON.stringify(line)}`);
    return { kind: 'default', id: unescapeField(fields[1]), name: unescapeField(fields[2]) };
  }
  if (fields[0] === 'none') {
    if (fields.length !== 1) throw new Error(`a none line has 1 field: ${JSON.stringify(line)}`);
    return { kind: 'none' };
  }
  return null;
}

module.exports = { parseWatchLine };
