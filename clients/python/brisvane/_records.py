"""brisvane-capture.exe's record stream (docs/PROTOCOL.md), split from the bytes as they come and
turned into what the package hands out: frames with their timing, and events."""
from __future__ import annotations

import struct
import sys
from array import array
from dataclasses import dataclass, replace
from typing import Any, List, NamedTuple, Optional, Tuple

from ._errors import BrisvaneError

MAJOR = 1
_SIZE = struct.Struct("<I")
_HEAD = struct.Struct("<8sHHIHHIHHI")
_AUDI = struct.Struct("<QqqII")
_GAP = struct.Struct("<QQII")
_FOUR = struct.Struct("<IIII")
_END = struct.Struct("<II")
GAP_REASONS = {1: "silence", 2: "discontinuity", 3: "restart", 4: "no-device"}
REOPEN_REASONS = {1: "device-lost", 2: "default-changed", 3: "device-back"}
END_REASONS = {1: "stopped", 2: "app-exited", 4: "listed"}
FILLED, SILENT, DISCONTINUITY, TIMESTAMP_ERROR = 8, 1, 2, 4


@dataclass(frozen=True)
class Device:
    """An output device: its endpoint id, its friendly name, and whether it is the default."""
    id: str
    name: str
    default: bool = False


class Timing(NamedTuple):
    """Where a frame lies and when it was captured (the AUDI record's fields): `index`, its first
    sample's place on the output timeline (samples per channel since the start); `qpc`, the
    capture time as the performance counter in 100-ns units; `system`, the system time then, in
    100-ns units since 1970 (`time`: as seconds, for datetime.fromtimestamp); `flags` (silent,
    discontinuity, timestamp_error, filled); `count`, its samples per channel."""
    index: int
    qpc: int
    system: int
    flags: int
    count: int

    @property
    def time(self) -> float:
        return self.system / 1e7

    silent = property(lambda self: bool(self.flags & SILENT))
    discontinuity = property(lambda self: bool(self.flags & DISCONTINUITY))
    timestamp_error = property(lambda self: bool(self.flags & TIMESTAMP_ERROR))
    filled = property(lambda self: bool(self.flags & FILLED))


@dataclass(frozen=True)
class Gap:
    """A gap in what the audio engine delivered: `length` samples per channel from sample index
    `start`; `reason`: 'silence' (nothing played), 'discontinuity' (the engine lost data),
    'restart' (the source was opened again) or 'no-device'; `filled`: its silence is in the
    stream (continuous timeline), else it is only reported and the next frame's index is `start`."""
    start: int
    length: int
    reason: str
    filled: bool
    rate: int = 48000

    @property
    def seconds(self) -> float:
        return self.length / self.rate

    @property
    def at(self) -> float:
        """`start` in frames of 20 ms."""
        return self.start * 50 / self.rate

    @property
    def frames(self) -> float:
        """`length` in frames of 20 ms."""
        return self.length * 50 / self.rate


@dataclass(frozen=True)
class Restart:
    """The source is opened again: `reason` 'device-lost', 'default-changed' or 'device-back';
    `attempt` (1 for the first of a series); `delay`: seconds waited before it; `error`: what
    ended the stream or failed the attempt before, with its code and hint, or None; `device`:
    the name of the device then opened, when the program said."""
    reason: str
    device: Optional[str]
    attempt: int
    error: Optional[BrisvaneError] = None
    delay: float = 0.0


@dataclass(frozen=True)
class DeviceChange:
    """The device captured from now on: a Device, or None while there is none."""
    device: Optional[Device]


@dataclass(frozen=True)
class Dropped:
    """Frames dropped (the oldest) because the queue was full: `frames` since the last report,
    `total` since the start."""
    frames: int
    total: int


def _bad(what: str, code: str = "PROTOCOL_ERROR") -> BrisvaneError:
    return BrisvaneError(None, message="brisvane-capture.exe's output cannot be read: " + what, code=code)


class Decoder:
    """Splits records from the bytes as they come and decodes the ones it knows; a frame is a
    (samples, Timing) pair, an event one of the classes above. `numpy`: the NumPy module for
    arrays of shape (samples, channels), else None for array('f') / array('h')."""

    def __init__(self, numpy: Any = None):
        self.numpy = numpy
        self.pending = b""
        self.rate = self.channels = self.width = 0
        self.typecode = "f"
        self.started = False
        self.end: Optional[Tuple[int, int]] = None  # END_'s reason and HRESULT
        self.failure: Optional[BrisvaneError] = None  # a record that could not be read
        self.restart: Optional[Restart] = None  # held for the DEVI record that may follow it

    def feed(self, chunk: bytes) -> List[Any]:
        """The frames and events of the records that `chunk` completes, up to the first that cannot
        be read (then in `failure`)."""
        data = self.pending + chunk if self.pending else chunk
        view, items, at = memoryview(data), [], 0
        while len(data) - at >= 8 and self.end is None and self.failure is None:
            length = _SIZE.unpack_from(data, at + 4)[0]
            if len(data) - at - 8 < length:
                break
            try:
                self.record(data[at:at + 4], view[at + 8:at + 8 + length], items)
            except struct.error as e:
                self.failure = _bad("a %r record of %d bytes: %s" % (data[at:at + 4], length, e))
            except BrisvaneError as e:
                self.failure = e
            at += 8 + length
        self.pending = data[at:]
        return items

    def finish(self) -> List[Any]:
        """What is still held at the end of the stream."""
        held, self.restart = self.restart, None
        return [held] if held else []

    def record(self, kind: bytes, body: memoryview, items: List[Any]) -> None:
        if not self.started:
            self.head(kind, body)
            return
        if self.restart is not None and kind != b"DEVI":
            items.append(self.restart)
            self.restart = None
        if kind == b"AUDI":
            if len(body) < 32:
                raise _bad("an AUDI record of %d bytes" % len(body))
            timing = Timing._make(_AUDI.unpack_from(body))
            end = 32 + timing.count * self.channels * self.width
            if end > len(body):
                raise _bad("an AUDI record of %d samples in %d bytes" % (timing.count, len(body)))
            items.append((self.samples(body[32:end]), timing))
        elif kind == b"GAP_":
            start, length, reason, flags = _GAP.unpack_from(body)
            items.append(Gap(start, length, GAP_REASONS.get(reason, str(reason)), bool(flags & 1), self.rate))
        elif kind == b"DEVI":
            device = self.device(body)
            if self.restart is not None:
                items.append(replace(self.restart, device=device.name if device else None))
                self.restart = None
            items.append(DeviceChange(device))
        elif kind == b"REOP":
            reason, attempt, hresult, delay = _FOUR.unpack_from(body)
            error = BrisvaneError(None, message="the source failed with 0x%08X" % hresult,
                                  hresult=hresult) if hresult else None
            self.restart = Restart(REOPEN_REASONS.get(reason, str(reason)), None, attempt, error, delay / 1000)
        elif kind == b"END_":
            self.end = _END.unpack_from(body)
            items.extend(self.finish())

    def head(self, kind: bytes, body: memoryview) -> None:
        if kind != b"HEAD" or len(body) < _HEAD.size or body[:8] != b"brisvane":
            raise _bad("it does not begin with brisvane-capture's HEAD record")
        _, major, minor, self.rate, self.channels, sample_type, _, _, _, _ = _HEAD.unpack_from(body)
        if major != MAJOR:
            raise _bad("it is version %d.%d of the record protocol; this package reads version %d" %
                       (major, minor, MAJOR), "UNSUPPORTED_PROTOCOL")
        if sample_type not in (1, 2) or self.channels not in (1, 2):
            raise _bad("sample type %d, %d channels" % (sample_type, self.channels))
        self.typecode, self.width = ("f", 4) if sample_type == 1 else ("h", 2)
        self.started = True

    def samples(self, data: memoryview) -> Any:
        if self.numpy is not None:
            dtype = "<f4" if self.typecode == "f" else "<i2"
            return self.numpy.frombuffer(bytearray(data), dtype).reshape(-1, self.channels)
        samples = array(self.typecode)
        samples.frombytes(data)
        if sys.byteorder == "big":
            samples.byteswap()
        return samples

    def device(self, body: memoryview) -> Optional[Device]:
        flags, id_size, name_size, _ = _FOUR.unpack_from(body)
        names = bytes(body[16:16 + id_size + name_size])
        if len(names) != id_size + name_size:
            raise _bad("a DEVI record shorter than its strings")
        if not id_size:
            return None
        return Device(names[:id_size].decode("utf-8", "replace"), names[id_size:].decode("utf-8", "replace"),
                      bool(flags & 1))
