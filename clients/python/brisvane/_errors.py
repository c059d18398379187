"""The error a capture ends with: brisvane's exit status and report, parsed, with the
platform error's symbolic code and a sentence a user can act on."""
from __future__ import annotations

import json
import re
from pathlib import Path
from typing import Dict, List, Optional, Tuple

# Exit statuses that come without a platform error: code, what happened, what to do.
STATUSES = {
    101: ("STARTUP_LINE_FAILED", "the start-up line could not be written to standard error",
          "Start brisvane with its standard error on a pipe that is read."),
    102: ("OUT_OF_MEMORY", "memory could not be obtained", "Close other programs and try again."),
}
_HRESULT = re.compile(r"\(0x([0-9A-F]{8})\)|^0x([0-9A-F]{8})$")


def _table_path() -> Path:
    """The wheel carries a copy made by its build; a source checkout has the one table of
    every client package two folders up."""
    here = Path(__file__).resolve().parent
    bundled = here / "error-codes.json"
    return bundled if bundled.exists() else here.parent.parent / "error-codes.json"


def _load_table() -> Dict[int, dict]:
    with open(_table_path(), encoding="utf-8") as f:
        rows = json.load(f)["hresults"]
    return {int(row["hresult"], 16): row for row in rows}


ERROR_CODES = _load_table()


def parse_report(report: str) -> Tuple[Optional[str], List[str]]:
    """Splits brisvane's report ("Error: <context>\\n\\nCaused by:\\n    0: ...") into its
    context line and its causes (a cause's continuation lines joined with "\\n")."""
    text = report.replace("\r\n", "\n").rstrip("\n")
    if not text.startswith("Error: "):
        return (text.split("\n")[0] or None), []
    context, marker, rest = text[len("Error: "):].partition("\n\nCaused by:\n")
    causes: List[str] = []
    if not marker:
        return context, causes
    lines = rest.split("\n")

    def starts_cause(line: str) -> bool:
        head = line[:7]
        return len(head) == 7 and head.endswith(": ") and head[:-2].strip().isdigit()

    if not starts_cause(lines[0]):  # one cause, indented by four spaces
        return context, ["\n".join(line[4:] for line in lines)]
    for line in lines:  # numbered causes, continued under their first line
        if starts_cause(line):
            causes.append(line[7:])
        else:
            causes[-1] += "\n" + line[7:]
    return context, causes


def hresult_of(causes: List[str]) -> Optional[int]:
    """The platform's HRESULT: the last hexadecimal code among the causes (the root cause)."""
    for cause in reversed(causes):
        match = _HRESULT.search(cause.strip())
        if match:
            return int(match.group(1) or match.group(2), 16)
    return None


class BrisvaneError(Exception):
    """brisvane could not capture. `status`: its exit status (None when it did not get as far
    as exiting: it could not be started, or did not start in time); `signal`: the signal that
    ended it (POSIX), or None; `report`: what it wrote on standard error after the start-up
    line; `context` and `causes`: that report's parts; `hresult`: the platform's error code;
    `code` and `hint`: a symbolic name and a sentence to act on, for the errors users meet
    (None otherwise)."""

    status: Optional[int]
    signal: Optional[int]
    report: str
    context: Optional[str]
    causes: List[str]
    hresult: Optional[int]
    code: Optional[str]
    hint: Optional[str]

    def __init__(self, status: Optional[int], report: str = "", *, message: Optional[str] = None,
                 code: Optional[str] = None, hint: Optional[str] = None):
        self.status = status
        self.signal = -status if status is not None and status < 0 else None
        self.report = report
        self.context, self.causes = parse_report(report)
        self.hresult = hresult_of(self.causes)
        row = ERROR_CODES.get(self.hresult) if self.hresult is not None else None
        known = STATUSES.get(status) if status is not None else None
        if row:
            code, hint = row["code"], row["message"]
        elif known:
            code, hint = known[0], known[2]
        elif self.signal is not None and code is None:
            code = "TERMINATED"
        self.code, self.hint = code, hint
        if message is None:
            why = self.context or (known[1] if known else "it ended without a report")
            how = "was ended by signal %d" % self.signal if self.signal else "exited with status %s" % status
            message = "brisvane %s: %s" % (how, why)
            if self.causes:
                message += ": " + self.causes[0]
        self.message = message
        super().__init__(message + ("\n" + hint if hint else ""))

    @property
    def device_lost(self) -> bool:
        """The capture ended because the device went away: a restart can carry on."""
        return self.code in ("DEVICE_INVALIDATED", "RESOURCES_INVALIDATED")
