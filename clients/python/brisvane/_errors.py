"""The error a capture ends with: brisvane's exit status and report, parsed, with the
platform error's symbolic code and a sentence a user can act on."""
from __future__ import annotations

import json
import re
from pathlib import Path
from typing import Dict, List, Optional, Tuple

# Exit statuses that come without an "Error:" report.
STATUS_MEANINGS = {
    101: "the start-up line could not be written to standard error",
    102: "memory could not be obtained",
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
    as exiting, e.g. it could not be started or did not start in time; negative: the signal
    that ended it, on POSIX); `report`: what it wrote on standard error after the start-up
    line; `context` and `causes`: that report's parts; `hresult`: the platform's error code;
    `code` and `advice`: its symbolic name and a sentence to act on, for the errors users meet
    (None otherwise)."""

    status: Optional[int]
    report: str
    context: Optional[str]
    causes: List[str]
    hresult: Optional[int]
    code: Optional[str]
    advice: Optional[str]

    def __init__(self, status: Optional[int], report: str = "", *, message: Optional[str] = None,
                 code: Optional[str] = None):
        self.status = status
        self.report = report
        self.context, self.causes = parse_report(report)
        self.hresult = hresult_of(self.causes)
        row = ERROR_CODES.get(self.hresult) if self.hresult is not None else None
        self.code = row["code"] if row else code
        self.advice = row["message"] if row else None
        if message is None:
            why = self.context or STATUS_MEANINGS.get(status, "it ended without a report")
            message = "brisvane exited with status %s: %s" % (status, why)
            if self.causes:
                message += ": " + self.causes[0]
        self.message = message
        super().__init__(message + ("\n" + self.advice if self.advice else ""))

    @property
    def device_lost(self) -> bool:
        """The capture ended because the device went away: a restart can carry on."""
        return self.code in ("DEVICE_INVALIDATED", "RESOURCES_INVALIDATED")
