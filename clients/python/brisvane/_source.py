"""What to capture, as the program's command line: the default output device, a device chosen by
id or friendly name (looked up in the program's device list), one application, or every
application but one (by default this one)."""
from __future__ import annotations

import os
import subprocess
from typing import List, Mapping, Optional, Tuple, Union

from ._errors import BrisvaneError
from ._program import NO_WINDOW, Program, not_started, resolve
from ._records import END_REASONS, Decoder, Device, DeviceChange

Source = Union[str, Device, Mapping[str, Union[str, int]]]
LIST_TIMEOUT = 10.0


def devices(program: Optional[Program] = None, *, env: Optional[Mapping[str, str]] = None,
            timeout: float = LIST_TIMEOUT) -> List[Device]:
    """The active output devices (the default one has default=True), as the program lists them."""
    command = resolve(program)
    try:
        done = subprocess.run(command + ["--list-devices"], stdin=subprocess.DEVNULL, capture_output=True, env=env,
                              timeout=timeout, creationflags=NO_WINDOW)
    except OSError as e:
        raise not_started(command, e) from e
    except subprocess.TimeoutExpired as e:
        raise BrisvaneError(None, message="the device list did not come within %g s" % timeout,
                            code="START_TIMEOUT") from e
    decoder = Decoder()
    listed = decoder.feed(done.stdout)
    if decoder.failure:
        raise decoder.failure
    if done.returncode != 0 or decoder.end is None or END_REASONS.get(decoder.end[0]) != "listed":
        raise BrisvaneError(done.returncode, done.stderr.decode("utf-8", "replace"))
    return [item.device for item in listed if type(item) is DeviceChange and item.device]


def find_device(name: str, listed: List[Device]) -> Device:
    """The one device whose name is `name`, else the one whose name contains it (case ignored)."""
    wanted = name.casefold()
    for matches in ([d for d in listed if d.name.casefold() == wanted],
                    [d for d in listed if wanted in d.name.casefold()]):
        if len(matches) == 1:
            return matches[0]
        if matches:
            raise BrisvaneError(None, code="DEVICE_AMBIGUOUS", message="%d output devices match %r: %s" % (
                len(matches), name, ", ".join(repr(d.name) for d in matches)))
    raise BrisvaneError(None, code="DEVICE_NOT_FOUND", message="no output device matches %r (there are: %s)" % (
        name, ", ".join(repr(d.name) for d in listed) or "none"))


def source_arguments(source: Source) -> Tuple[List[str], Optional[str]]:
    """The command line that chooses `source` ("default", "all-but-this-app", a Device, or a
    mapping with one of "device": an endpoint id or a friendly name, "app" or "all_but": a
    process id), and the friendly name to look up first, if any."""
    if source == "default":
        return [], None
    if source == "all-but-this-app":
        return ["--all-but", str(os.getpid())], None
    if isinstance(source, Device):
        return ["--device", source.id], None
    if isinstance(source, Mapping) and len(source) == 1:
        (kind, value), = source.items()
        if kind == "device" and isinstance(value, Device):
            return ["--device", value.id], None
        if kind == "device" and isinstance(value, str) and value:
            return (["--device", value], None) if value.startswith("{") else ([], value)
        if kind in ("app", "all_but") and isinstance(value, int) and not isinstance(value, bool):
            return ["--app" if kind == "app" else "--all-but", str(value)], None
    raise ValueError("source must be 'default', 'all-but-this-app', a Device, or {'device': ID or NAME}, "
                     "{'app': PID} or {'all_but': PID}; not %r" % (source,))
