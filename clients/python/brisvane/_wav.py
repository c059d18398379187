"""A WAV file written as frames come: the header's sizes are right whenever it is closed, and
kept up to date as it grows, and the file stops short of the 4 GiB that a WAV header can count."""
from __future__ import annotations

import struct
import sys
from typing import Any, BinaryIO

WAVE_FORMAT_PCM = 1
WAVE_FORMAT_IEEE_FLOAT = 3
RIFF_LIMIT = 0xFFFFFFFF  # the RIFF size field's largest value


def frame_bytes(frame: Any) -> bytes:
    """A frame's samples as little-endian bytes (array or NumPy array)."""
    if hasattr(frame, "dtype"):
        return frame.astype(frame.dtype.newbyteorder("<"), copy=False).tobytes()
    if sys.byteorder == "big":
        frame = frame[:]
        frame.byteswap()
    return frame.tobytes()


class WavWriter:
    def __init__(self, path: str, rate: int, channels: int, sample_format: str, limit: int = RIFF_LIMIT):
        self.float = sample_format == "f32"
        width = 4 if self.float else 2
        self.align = width * channels
        if self.float:  # IEEE float: an 18-byte fmt chunk and a fact chunk
            fmt = struct.pack("<HHIIHHH", WAVE_FORMAT_IEEE_FLOAT, channels, rate, rate * self.align, self.align,
                              8 * width, 0)
            self.header = b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"fact" + struct.pack("<II", 4, 0)
        else:
            fmt = struct.pack("<HHIIHH", WAVE_FORMAT_PCM, channels, rate, rate * self.align, self.align, 8 * width)
            self.header = b"fmt " + struct.pack("<I", len(fmt)) + fmt
        overhead = 4 + len(self.header) + 8  # "WAVE", the chunks before the data, the data chunk's head
        self.capacity = (limit - overhead) // self.align * self.align
        self.data = 0
        self.full = False
        self._file: BinaryIO = open(path, "wb")
        self._file.write(b"RIFF" + struct.pack("<I", 0) + b"WAVE" + self.header + b"data" + struct.pack("<I", 0))
        self._unsynced = 0
        self.sync()

    def write(self, frame: Any) -> bool:
        """Appends the frame; False once the file is full (the part that fits is written)."""
        data = frame_bytes(frame)
        room = self.capacity - self.data
        if len(data) > room:
            data, self.full = data[:room], True
        self._file.write(data)
        self.data += len(data)
        self._unsynced += 1
        if self._unsynced >= 50:
            self.sync()
        return not self.full

    def sync(self) -> None:
        """Writes the sizes into the header, so that the file is whole up to here."""
        position = self._file.tell()
        self._file.seek(4)
        self._file.write(struct.pack("<I", 4 + len(self.header) + 8 + self.data))
        if self.float:
            self._file.seek(12 + len(self.header) - 4)
            self._file.write(struct.pack("<I", self.data // self.align))
        self._file.seek(12 + len(self.header) + 4)
        self._file.write(struct.pack("<I", self.data))
        self._file.seek(position)
        self._file.flush()
        self._unsynced = 0

    def close(self) -> None:
        if not self._file.closed:
            self.sync()
            self._file.close()
