"""The parsing rule for one line of brisvane-watch.exe's standard output (docs/PROTOCOL.md,
"brisvane-watch.exe"), with which the end-to-end cases read the program's real output (the
client packages no longer read it: they follow the default device through brisvane-capture.exe)."""
from typing import Dict, List, Optional

_ESCAPES = {"\\": "\\", "t": "\t", "n": "\n", "r": "\r"}


def _unescape(field: str) -> str:
    out: List[str] = []
    i = 0
    while i < len(field):
        c = field[i]
        if c == "\\":
            if i + 1 == len(field) or field[i + 1] not in _ESCAPES:
                raise ValueError("bad escape in watcher field %r" % field)
            out.append(_ESCAPES[field[i + 1]])
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def parse_watch_line(line: str) -> Optional[Dict[str, str]]:
    """`line`: one line, decoded as UTF-8, without its line feed.
    Returns {"kind": "default", "id": ..., "name": ...} or {"kind": "none"}; None for a line of
    a kind this rule does not know (skip it); raises ValueError for a malformed line."""
    fields = line.split("\t")
    if fields[0] == "default":
        if len(fields) != 3:
            raise ValueError("a default line has 3 fields: %r" % line)
        return {"kind": "default", "id": _unescape(fields[1]), "name": _unescape(fields[2])}
    if fields[0] == "none":
        if len(fields) != 1:
            raise ValueError("a none line has 1 field: %r" % line)
        return {"kind": "none"}
    return None
