"""brisvane for Python: what a Windows computer plays, captured by brisvane.exe, as frames of
20 ms in the format you ask for.

    import brisvane

    with brisvane.capture(rate=16000, channels=1, format="s16") as cap:
        for frame in cap.frames(timeout=1.0):   # array('h') of 320 samples, or None each second of silence
            ...

Errors are BrisvaneError (exit status, report, context, causes, HRESULT, symbolic code and a
sentence to act on). `python -m brisvane record out.wav` and `python -m brisvane doctor` are
the command line."""
from ._aio import AsyncCapture, capture_async
from ._capture import Capture, Dropped, Gap, Restart, capture
from ._convert import FORMATS, FRAME_BYTES, RATES, Converter, Decimator, numpy_module
from ._errors import ERROR_CODES, BrisvaneError, parse_report
from ._program import OVERRIDE, resolve as resolve_program
from ._version import __version__
from ._watch import Device, WatchFailure

__all__ = ["AsyncCapture", "BrisvaneError", "Capture", "Converter", "Decimator", "Device", "Dropped",
           "ERROR_CODES", "FORMATS", "FRAME_BYTES", "Gap", "OVERRIDE", "RATES", "Restart", "WatchFailure", "capture",
           "capture_async", "numpy_module", "parse_report", "resolve_program", "__version__"]
