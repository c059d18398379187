"""The error a capture ends with: the program's exit status and report, parsed, with a symbolic
code and a sentence a user can act on, all from the one table of every client package."""
from __future__ import annotations

import json
import re
from pathlib import Path
from typing import Dict, List, Optional, Tuple

_HRESULT = re.compile(r"\(0x([0-9A-F]{8})\)|^0x([0-9A-F]{8})$")
_REPORT_START = re.compile(r"^Error: ", re.MULTILINE)


def _load_table() -> dict:
    """The wheel carries a copy made by its build; a source checkout has the one table of every
    client package two folders up."""
    here = Path(__file__).resolve().parent
    bundled = here / "error-codes.json"
    with open(bundled if bundled.exists() else here.parent.parent / "error-codes.json", encoding="utf-8") as f:
        return json.load(f)


_TABLE = _load_table()
ERROR_CODES: Dict[int, dict] = {int(row["hresult"], 16): row for row in _TABLE["hresults"]}
STATUSES: Dict[int, dict] = {row["status"]: row for row in _TABLE["statuses"]}
HINTS: Dict[str, str] = {row["code"]: row["message"] for row in _TABLE["codes"] + _TABLE["statuses"]}


def parse_report(report: str) -> Tuple[Optional[str], List[str]]:
    """Finds the program's report ("Error: <context>\\n\\nCaused by:\\n    0: ...") in what it wrote
    on standard error, wherever its first line starts (other lines may come before it, from
    Wine or from a tool injected into the process), and splits it into its context line and its
    causes (a cause's continuation lines joined with "\\n")."""
    text = report.replace("\r\n", "\n").rstrip("\n")
    start = _REPORT_START.search(text)
    if start is None:
        return (text.split("\n")[-1] or None), []
    context, marker, rest = text[start.end():].partition("\n\nCaused by:\n")
    rest = rest.split("\n\n")[0]  # a blank line ends the causes (the usage may follow)
    if not marker:
        return context.split("\n")[0], []
    lines = rest.split("\n")

    def starts_cause(line: str) -> bool:
        head = line[:7]
        return len(head) == 7 and head.endswith(": ") and head[:-2].strip().isdigit()

    if not starts_cause(lines[0]):  # one cause, indented by four spaces
        return context, ["\n".join(line[4:] for line in lines)]
    causes: List[str] = []
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
    """brisvane could not capture. `status`: the program's exit status (None when it did not get
    as far as exiting: it could not be started, did not start in time, or its output could not
    be read); `signal`: the signal that ended it (POSIX), or None; `report`: what it wrote on
    standard error after the start-up line; `context` and `causes`: that report's parts;
    `hresult`: the platform's error code; `code` and `hint`: a symbolic name and a sentence to
    act on, for the errors users meet (None otherwise)."""

    status: Optional[int]
    signal: Optional[int]
    report: str
    context: Optional[str]
    causes: List[str]
    hresult: Optional[int]
    code: Optional[str]
    hint: Optional[str]

    def __init__(self, status: Optional[int], report: str = "", *, message: Optional[str] = None,
                 code: Optional[str] = None, hresult: Optional[int] = None):
        self.status = status
        self.signal = -status if status is not None and status < 0 else None
        self.report = report
        self.context, self.causes = parse_report(report)
        self.hresult = hresult or hresult_of(self.causes)
        row = ERROR_CODES.get(self.hresult) if self.hresult is not None else None
        known = STATUSES.get(status) if status is not None else None
        code = row["code"] if row else known["code"] if known else code
        if code is None and self.signal is not None:
            code = "TERMINATED"
        self.code = code
        self.hint = row["message"] if row else HINTS.get(code) if code else None
        if message is None:
            why = self.context or (known["what"] if known else "it ended without a report")
            how = "was ended by signal %d" % self.signal if self.signal else "exited with status %s" % status
            message = "brisvane %s: %s" % (how, why)
            if self.causes:
                message += ": " + self.causes[0]
        self.message = message
        super().__init__(message + ("\n" + self.hint if self.hint else ""))

    @property
    def device_lost(self) -> bool:
        """The capture ended because the device went away."""
        return self.code in ("DEVICE_INVALIDATED", "RESOURCES_INVALIDATED")
