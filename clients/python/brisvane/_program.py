"""Where brisvane-capture.exe comes from: an explicit argument, then the environment override,
then the copy bundled with the Windows wheel."""
from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path
from typing import List, Optional, Sequence, Union

from ._errors import BrisvaneError

OVERRIDE = "BRISVANE_COMMAND"
NAME = "brisvane-capture.exe"
BUNDLED_DIR = Path(__file__).resolve().parent / "bin"

Program = Union[str, "os.PathLike[str]", Sequence[str]]
# The program's creation flags: no console window for it on Windows.
NO_WINDOW = getattr(subprocess, "CREATE_NO_WINDOW", 0)


def not_started(command: List[str], error: OSError) -> BrisvaneError:
    """The error for a program that could not be started at all."""
    return BrisvaneError(None, message="could not start %s: %s" % (" ".join(command), error),
                         code="PROGRAM_NOT_FOUND")


def _split(value: str) -> List[str]:
    """A path to a file as it is (it may hold blanks), a JSON array of strings, or words
    separated by blanks (a command with its first arguments, e.g. "wine C:/x/brisvane.exe")."""
    value = value.strip()
    if os.path.isfile(value):
        return [value]
    if value.startswith("["):
        words = json.loads(value)
        if not (isinstance(words, list) and words and all(isinstance(w, str) for w in words)):
            raise ValueError("the override holds a JSON value that is not a list of strings")
        return words
    return value.split()


def resolve(program: Optional[Program] = None) -> List[str]:
    """The command that starts brisvane-capture.exe, or BrisvaneError saying how to provide it."""
    if program is not None:
        if isinstance(program, (str, os.PathLike)):
            return [os.fspath(program)]
        return [os.fspath(p) for p in program]
    value = os.environ.get(OVERRIDE, "").strip()
    if value:
        return _split(value)
    bundled = BUNDLED_DIR / NAME
    if sys.platform == "win32" and bundled.is_file():
        return [str(bundled)]
    if sys.platform == "win32":
        raise BrisvaneError(None, message="this installation of brisvane has no %s (the win_amd64 wheel carries it)"
                            % NAME, code="PROGRAM_NOT_FOUND")
    raise BrisvaneError(None, message="%s runs on Windows only, and this is %s" % (NAME, sys.platform),
                        code="UNSUPPORTED_PLATFORM")

