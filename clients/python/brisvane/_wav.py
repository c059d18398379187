"""A WAV file written as frames come. Its header is brought up to date every second and when
it is closed, so that it is whole whenever it stops; past the 4 GiB that a RIFF header can
count it becomes RF64 (the 64-bit form of WAV), for which a JUNK chunk keeps room."""
from __future__ import annotations

import struct
import sys
from typing import Any, BinaryIO

WAVE_FORMAT_PCM = 1
WAVE_FORMAT_IEEE_FLOAT = 3
RIFF_LIMIT = 0xFFFFFFFF  # the largest size a 32-bit field can hold
DS64_BYTES = 28          # RIFF size, data size, sample count (64-bit each), table length


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
        self.limit = limit
        if self.float:  # IEEE float: an 18-byte fmt chunk and a fact chunk
            fmt = struct.pack("<HHIIHHH", WAVE_FORMAT_IEEE_FLOAT, channels, rate, rate * self.align, self.align,
                              8 * width, 0)
            self.chunks = b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"fact" + struct.pack("<II", 4, 0)
        else:
            fmt = struct.pack("<HHIIHH", WAVE_FORMAT_PCM, channels, rate, rate * self.align, self.align, 8 * width)
            self.chunks = b"fmt " + struct.pack("<I", len(fmt)) + fmt
        self.data_at = 12 + 8 + DS64_BYTES + len(self.chunks) + 8  # where the samples begin
        self.data = 0
        self._file: BinaryIO = open(path, "wb")
        self._file.write(b"\0" * self.data_at)
        self._unsynced = 0
        self.sync()

    def write(self, frame: Any) -> None:
        data = frame_bytes(frame)
        self._file.write(data)
        self.data += len(data)
        self._unsynced += 1
        if self._unsynced >= 50:
            self.sync()

    def sync(self) -> None:
        """Writes the header for the samples so far: the file is whole up to here."""
        riff = self.data_at - 8 + self.data
        samples = self.data // self.align
        big = riff > self.limit
        head = (b"RF64" if big else b"RIFF") + struct.pack("<I", RIFF_LIMIT if big else riff) + b"WAVE"
        head += (b"ds64" if big else b"JUNK") + struct.pack("<I", DS64_BYTES)
        head += struct.pack("<QQQI", riff, self.data, samples, 0) if big else bytes(DS64_BYTES)
        chunks = self.chunks
        if self.float:
            chunks = chunks[:-4] + struct.pack("<I", min(samples, RIFF_LIMIT) if not big else RIFF_LIMIT)
        head += chunks + b"data" + struct.pack("<I", RIFF_LIMIT if big else self.data)
        position = self._file.tell()
        self._file.seek(0)
        self._file.write(head)
        self._file.seek(position)
        self._file.flush()
        self._unsynced = 0

    def close(self) -> None:
        if not self._file.closed:
            self.sync()
            self._file.close()
