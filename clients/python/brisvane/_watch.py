"""brisvane-watch.exe beside the capture: its lines (the default output device, then each
change) read on a thread and handed on; any failure of it is handed on once, and it says
nothing more after that."""
from __future__ import annotations

import subprocess
import threading
from dataclasses import dataclass
from typing import Callable, List, Mapping, Optional

from . import _job
from ._errors import BrisvaneError
from ._watch_line import parse_watch_line


@dataclass(frozen=True)
class Device:
    """An output device: its endpoint id and its friendly name (e.g. 'Speakers (Realtek(R) Audio)')."""
    id: str
    name: str


@dataclass(frozen=True)
class WatchFailure:
    """brisvane-watch.exe could not start, ended, or wrote a line that cannot be read: the
    capture goes on, no longer following the default device. `error`: the watcher's own
    report, when it ended with one."""
    message: str
    error: Optional[BrisvaneError] = None


class Watcher:
    """Calls on_default(Device or None for no default device) for every line, and on_failure
    (WatchFailure) at most once; stop() ends it without a failure."""

    def __init__(self, command: List[str], env: Optional[Mapping[str, str]],
                 on_default: Callable[[Optional[Device]], None], on_failure: Callable[[WatchFailure], None]):
        self.command, self.on_default, self.on_failure = command, on_default, on_failure
        self.stopped = False
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=env, bufsize=0,
                                        creationflags=getattr(subprocess, "CREATE_NO_WINDOW", 0))
        try:
            _job.bind_to_this_process(self.process)
        except OSError:
            self.end()
            raise
        threading.Thread(target=self._read, name="brisvane-watch stdout", daemon=True).start()

    def _read(self) -> None:
        stdout, stderr = self.process.stdout, self.process.stderr
        assert stdout is not None and stderr is not None
        try:
            failure = None
            for raw in iter(stdout.readline, b""):
                try:
                    if not raw.endswith(b"\n"):
                        raise ValueError("%r has no line feed" % raw)
                    parsed = parse_watch_line(raw[:-1].decode("utf-8"))
                except ValueError as e:  # UnicodeDecodeError is one too
                    failure = WatchFailure("brisvane-watch.exe wrote a line that cannot be read: %s" % e)
                    break
                if parsed is not None and not self.stopped:
                    self.on_default(Device(parsed["id"], parsed["name"]) if parsed["kind"] == "default" else None)
            if failure is None:
                status = self.process.wait()
                error = BrisvaneError(status, stderr.read().decode("utf-8", errors="replace"))
                failure = WatchFailure("brisvane-watch.exe exited with status %s: %s" % (
                    status, ": ".join([error.context or "without a report"] + error.causes[:1])), error)
        except (OSError, ValueError):  # its pipes were closed under it: it is being stopped
            failure = WatchFailure("brisvane-watch.exe's output could not be read")
        self.end()
        if not self.stopped:
            self.stopped = True
            self.on_failure(failure)

    def end(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        for stream in (self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()

    def stop(self) -> None:
        """Ends it; whatever it wrote meanwhile is no longer handed on."""
        self.stopped = True
        self.end()
