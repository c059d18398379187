"""Where the program comes from: an explicit argument, then the environment override, then
the copy bundled with the Windows wheel."""
from __future__ import annotations

import json
import os
import sys
from pathlib import Path
from typing import List, Optional, Sequence, Union

from ._errors import BrisvaneError

OVERRIDE = "BRISVANE_COMMAND"
WATCH_NAME, WATCH_OVERRIDE = "brisvane-watch.exe", "BRISVANE_WATCH_COMMAND"
BUNDLED_DIR = Path(__file__).resolve().parent / "bin"

Program = Union[str, "os.PathLike[str]", Sequence[str]]


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


def resolve(program: Optional[Program] = None, *, name: str = "brisvane.exe",
            override: str = OVERRIDE, argument: str = "program") -> List[str]:
    """The command that starts the program `name` (brisvane.exe or brisvane-watch.exe,
    overridden by the variable `override`), or BrisvaneError saying how to provide it."""
    if program is not None:
        if isinstance(program, (str, os.PathLike)):
            return [os.fspath(program)]
        return [os.fspath(p) for p in program]
    value = os.environ.get(override, "").strip()
    if value:
        return _split(value)
    bundled = BUNDLED_DIR / name
    if sys.platform == "win32" and bundled.is_file():
        return [str(bundled)]
    if sys.platform == "win32":
        why = "this installation of brisvane has no %s (it is in the win_amd64 wheel only)" % name
        code = "PROGRAM_NOT_FOUND"
    else:
        why = "%s runs on Windows only, and this is %s" % (name, sys.platform)
        code = "UNSUPPORTED_PLATFORM"
    raise BrisvaneError(None, message="%s: set %s to the command that starts it (for example "
                        "%s=\"wine /path/to/%s\") or pass it as `%s`" % (why, override, override, name, argument),
                        code=code)

