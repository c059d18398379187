"""brisvane for Python: what a Windows computer plays (a device, one application, or all but
one), captured by brisvane-capture.exe, as frames of 20 ms in the format you ask for.

    import brisvane

    with brisvane.capture(rate=16000, channels=1, format="s16") as cap:
        for frame in cap:   # array('h') of 320 samples; cap.timing: its place and capture time
            ...

Errors are BrisvaneError (exit status, report, context, causes, HRESULT, symbolic code and a
sentence to act on). `python -m brisvane record out.wav`, `python -m brisvane devices` and
`python -m brisvane doctor` are the command line."""
from ._aio import AsyncCapture, capture_async
from ._capture import FORMATS, RATES, Capture, capture, numpy_module
from ._errors import ERROR_CODES, BrisvaneError, parse_report
from ._program import OVERRIDE, resolve as resolve_program
from ._records import Device, DeviceChange, Dropped, Gap, Restart, Timing
from ._source import devices
from ._version import __version__

__all__ = ["AsyncCapture", "BrisvaneError", "Capture", "Device", "DeviceChange", "Dropped", "ERROR_CODES", "FORMATS",
           "Gap", "OVERRIDE", "RATES", "Restart", "Timing", "capture", "capture_async", "devices", "numpy_module",
           "parse_report", "resolve_program", "__version__"]
