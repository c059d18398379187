"""The asyncio form of Capture: `async with brisvane.capture_async(...) as cap:` and
`async for frame in cap`. The program's pipes are drained by the same threads; only waiting
for a frame happens on the event loop."""
from __future__ import annotations

import asyncio
import time
from typing import Any, AsyncIterator, Optional

from ._capture import Capture


class AsyncCapture:
    """Takes Capture's arguments; see Capture. Its properties (device, timing, dropped, ...) are
    the Capture's, as `cap.capture.device` or `cap.device`."""

    def __init__(self, *args: Any, **options: Any):
        self.capture = Capture(*args, **options)
        self._wakeup: Optional[asyncio.Event] = None

    def __getattr__(self, name: str) -> Any:
        return getattr(self.capture, name)

    async def start(self) -> "AsyncCapture":
        loop = asyncio.get_running_loop()
        self._wakeup = wakeup = asyncio.Event()
        self.capture._session.wakers.append(lambda: loop.call_soon_threadsafe(wakeup.set))
        await loop.run_in_executor(None, self.capture.start)
        return self

    async def __aenter__(self) -> "AsyncCapture":
        return await self.start()

    async def __aexit__(self, *exc: Any) -> None:
        await self.aclose()

    async def read(self, timeout: Optional[float] = None) -> Any:
        """As Capture.read, without blocking the event loop."""
        if self._wakeup is None:
            await self.start()
        assert self._wakeup is not None
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            self._wakeup.clear()
            frame = self.capture.read(0)
            if frame is not None:
                return frame
            wait = None if deadline is None else deadline - time.monotonic()
            if wait is not None and wait <= 0:
                return None
            try:
                await asyncio.wait_for(self._wakeup.wait(), wait)
            except asyncio.TimeoutError:
                pass

    def __aiter__(self) -> AsyncIterator[Any]:
        return self._frames()

    async def _frames(self) -> AsyncIterator[Any]:
        while True:
            try:
                yield await self.read()
            except EOFError:
                return

    async def aclose(self) -> None:
        await asyncio.get_running_loop().run_in_executor(None, self.capture.close)


def capture_async(*args: Any, **options: Any) -> AsyncCapture:
    return AsyncCapture(*args, **options)
