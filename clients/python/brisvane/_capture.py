"""A running capture: brisvane-capture.exe started with the caller's options, its pipes always
drained (standard output by the consumer's own blocking reads or else by a pump thread), and the
bounded queue of its frames and events."""
from __future__ import annotations

import os
import queue
import subprocess
import threading
import time
import weakref
from collections import deque
from typing import Any, Callable, Deque, Iterator, List, Mapping, Optional, Tuple

from . import _job
from ._errors import BrisvaneError
from ._program import NO_WINDOW, Program, not_started, resolve
from ._records import END_REASONS, Decoder, Device, DeviceChange, Dropped, Gap, Restart, Timing
from ._source import Source, devices, find_device, source_arguments

STARTED_LINE = b"brisvane-capture started\n"
STOP_WAIT = 2.0  # seconds the program has to end after its standard input did
# Seconds the pump stands by while the consumer reads the pipe itself before it reads in its
# place. brisvane-capture.exe queues up to 32 MiB itself, so a pipe left full that long never
# holds the capture up.
STANDBY = 0.25
RATES = (48000, 24000, 16000, 12000, 9600, 8000, 6000, 4800, 4000)
FORMATS = ("f32", "s16")
TIMELINES = {"live": "exact", "exact": "exact", "continuous": "continuous"}
END = object()  # the last item: the capture ended
CALLBACKS = {Gap: "on_gap", Dropped: "on_drop", Restart: "on_restart", DeviceChange: "on_device"}


def numpy_module() -> Any:
    """NumPy, if it is installed."""
    try:
        import numpy
    except ImportError:
        return None
    return numpy


def spawn(command: List[str], env: Optional[Mapping[str, str]]) -> "subprocess.Popen[bytes]":
    """Starts the program with its three standard handles on pipes, bound to end with this process."""
    try:
        process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   env=env, bufsize=0, creationflags=NO_WINDOW)
    except OSError as e:
        raise not_started(command, e) from e
    try:
        _job.bind_to_this_process(process)
    except OSError:
        process.kill()
        process.wait()
        raise
    return process


class _Session:
    """Everything the threads touch; the Capture that owns it can be collected while they run,
    and then ends it."""

    def __init__(self, queue_frames: int, numpy: Any, callbacks: Mapping[str, Optional[Callable[[Any], None]]]):
        self.queue_frames, self.callbacks = queue_frames, callbacks
        self.decoder = Decoder(numpy)
        # Frames as (samples, Timing) and events, in stream order, then END. Whoever holds the role
        # (the pipe and the decoder) puts (and drops the oldest): `pushed` and `dropped` are the
        # role's, `taken` the consumer's.
        self.items: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        self.pushed = self.taken = 0
        self.early_events: Deque[Any] = deque()  # events whose place was dropped with old frames
        self.dropped = self.dropped_reported = self.restarts = self.filled = 0
        self.device: Optional[Device] = None  # as the reader has it
        self.device_read: Optional[Tuple[Optional[Device]]] = None  # as the consumer has read to
        self.process: Optional["subprocess.Popen[bytes]"] = None
        self.stderr = bytearray()
        self.started = threading.Event()  # the start-up line, waiting for a device, or the end
        self.error: Optional[BrisvaneError] = None
        self.end_reason: Optional[str] = None
        self.closed = self.stopping = self.failed_at_start = False
        self.finishing = threading.Lock()
        self.role = threading.Lock()
        self.ended = False  # the end of the stream was handled
        self.chunks = 0  # read so far, by whoever held the role
        self.consumer_waiting = False  # a blocking read waits for the role
        self.pump_wanted = True  # until a blocking read takes the role: start-up, timed reads, close()
        self.pump_asked = threading.Event()
        self.pump_asked.set()
        self.wakers: List[Callable[[], None]] = []
        self.threads: List[threading.Thread] = []

    def start(self, command: List[str], env: Optional[Mapping[str, str]], timeout: Optional[float]) -> None:
        self.process = spawn(command, env)
        for target, name in ((self.read_stderr, "brisvane stderr"), (self.pump, "brisvane stdout")):
            self.threads.append(threading.Thread(target=target, name=name, daemon=True))
            self.threads[-1].start()
        if not self.started.wait(timeout):
            self.finish(BrisvaneError(None, message="brisvane-capture.exe did not start within %g s (no start-up "
                                      "line and no report)" % timeout, code="START_TIMEOUT"))
            self.close()
        if self.failed_at_start:
            self.close()
            raise self.error

    def read_stderr(self) -> None:
        stream = self.process.stderr
        try:
            for line in iter(stream.readline, b""):
                if line == STARTED_LINE and not self.started.is_set():
                    self.started.set()
                else:
                    self.stderr += line
        except (OSError, ValueError):
            pass  # closed under us: the program is being ended
        finally:
            stream.close()

    def pump(self) -> None:
        """Reads the program's standard output whenever the consumer does not: at the start, for
        timed and asyncio reads, and when a consumer has not read for STANDBY seconds."""
        while not self.ended:
            seen = self.chunks
            self.pump_asked.wait(STANDBY)
            self.pump_asked.clear()
            wanted = self.pump_wanted
            if (self.chunks != seen and not wanted) or not self.role.acquire(blocking=wanted):
                continue  # the consumer reads for itself, or is reading right now
            try:
                while not self.consumer_waiting and self.read_chunk():
                    pass
            finally:
                self.role.release()

    def read_for_consumer(self) -> None:
        """A blocking read that found the queue empty reads one chunk itself, no thread hand-off."""
        self.consumer_waiting = True  # the pump gives the role back after its chunk
        try:
            with self.role:
                self.pump_wanted = False
                if self.items.empty():
                    self.read_chunk()
        finally:
            self.consumer_waiting = False

    def read_chunk(self) -> bool:
        """Reads and delivers one chunk of the program's output, and ends the capture at the end of
        the stream; False once it ended. The caller holds the role."""
        if self.ended:
            return False
        self.chunks += 1
        error = None
        try:
            chunk = os.read(self.process.stdout.fileno(), 1 << 16)
            if chunk:
                items = self.decoder.feed(chunk)
                if items:
                    self.deliver(items)
                if self.decoder.failure is None:
                    return True
                raise self.decoder.failure
            self.deliver(self.decoder.finish())
        except BrisvaneError as e:
            error = e
            self.process.kill()
        except OSError:
            pass  # closed under us
        except Exception as e:  # a fault here must end the capture, not leave its reader waiting
            error = BrisvaneError(None, message="brisvane's reader failed: %r" % e)
            self.process.kill()
        self.ended = True
        status = self.process.wait()
        self.threads[0].join()
        self.process.stdout.close()
        end = self.decoder.end
        reason = END_REASONS.get(end[0]) if end else None
        if error is None and reason not in ("stopped", "app-exited") and not self.stopping:
            error = BrisvaneError(status, bytes(self.stderr).decode("utf-8", "replace"),
                                  hresult=end[1] if end else None)
        self.finish(error, "app-exited" if reason == "app-exited" else "stopped")
        return False

    def want_pump(self) -> None:
        if not self.pump_wanted:
            self.pump_wanted = True
            self.pump_asked.set()

    def deliver(self, items: List[Any]) -> None:
        for item in items:
            kind = type(item)
            if kind is tuple:
                self.items.put(item)
                self.pushed += 1
                while self.pushed - self.dropped - self.taken > self.queue_frames:
                    try:
                        old = self.items.get_nowait()
                    except queue.Empty:  # the consumer took it meanwhile
                        break
                    if type(old) is tuple:
                        self.dropped += 1
                    else:
                        self.early_events.append(old)
                continue
            if kind is DeviceChange:
                self.device = item.device
                if item.device is None:
                    self.started.set()  # it waits for a device: that is no failure
            elif kind is Restart:
                self.restarts += 1
            elif kind is Gap and item.filled:
                self.filled += item.length
            self.items.put(item)
        if self.wakers:
            self.wake()

    def finish(self, error: Optional[BrisvaneError], reason: Optional[str] = None) -> None:
        with self.finishing:  # the reader and close() may both end it: the first says how
            if not self.closed:
                self.error, self.end_reason = error, None if error else reason
                # A failure after the start-up line is the reads' to raise, after the frames
                # before it, even when it came before start() looked.
                self.failed_at_start = error is not None and not self.started.is_set()
                self.closed = True
                self.items.put(END)
                self.wake()
        self.started.set()
        self.pump_asked.set()  # its stand-by ends: it exits once the stream ended

    def close(self) -> None:
        """Ends the program: its standard input's end stops it cleanly (it writes what it still
        holds), and after STOP_WAIT seconds it is killed."""
        process = self.process
        if process is None:
            self.finish(None, "stopped")
            return
        self.stopping = True
        self.want_pump()  # someone must drain what the program writes until it ends
        try:
            process.stdin.close()
        except OSError:
            pass
        try:
            process.wait(STOP_WAIT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        for thread in self.threads:
            if thread is not threading.current_thread():
                thread.join(5)
        self.finish(None, "stopped")

    def wake(self) -> None:
        for waker in self.wakers:
            try:
                waker()
            except RuntimeError:  # its event loop was closed: nobody waits there any more
                pass

    def take(self, timeout: Optional[float]) -> Tuple[List[Any], Any, bool]:
        """Waits for the next frame: (events before it, the (samples, Timing) pair or None, whether
        the capture ended)."""
        deadline = None if timeout is None else time.monotonic() + timeout
        events: List[Any] = []
        if timeout is not None:
            self.want_pump()  # this read waits on the queue, not in os.read
        while True:
            while timeout is None and self.items.empty():
                self.read_for_consumer()
            while self.early_events:
                self.hand_on(self.early_events.popleft(), events)
            if self.dropped > self.dropped_reported:
                events.append(Dropped(self.dropped - self.dropped_reported, self.dropped))
                self.dropped_reported = self.dropped
            try:
                item = self.items.get(timeout=None if deadline is None else max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                return events, None, False
            if item is END:
                self.items.put(END)  # for every read after this one
                return events, None, True
            if type(item) is tuple:
                self.taken += 1
                return events, item, False
            self.hand_on(item, events)

    def hand_on(self, event: Any, events: List[Any]) -> None:
        """An event for the consumer: a device change is the device of the frames read from then on."""
        if type(event) is DeviceChange:
            self.device_read = (event.device,)
        events.append(event)

    def dispatch(self, events: List[Any]) -> None:
        for event in events:
            callback = self.callbacks.get(CALLBACKS[type(event)])
            if callback is not None:
                callback(event.device if type(event) is DeviceChange else event)


class Capture:
    """brisvane-capture.exe capturing what the computer plays, as frames of 20 ms in the format
    asked for. Use it as a context manager (leaving the block stops the program) and iterate
    over it, or call read() with a timeout. Closing it, leaving the block and collecting it all
    end the program; on Windows it also ends with this process, however that ends. The options
    are described in the package's README."""

    def __init__(self, program: Optional[Program] = None, *, source: Source = "default", rate: int = 48000,
                 channels: int = 2, format: str = "f32", numpy: bool = False, queue_frames: int = 500,
                 timeline: str = "live", fill_after: float = 0.2, restart: bool = False, max_restarts: int = 5,
                 restart_delay: float = 0.25, restart_max_delay: float = 4.0, follow_default: bool = False,
                 start_timeout: float = 10.0, env: Optional[Mapping[str, str]] = None,
                 on_gap: Optional[Callable[[Gap], None]] = None, on_drop: Optional[Callable[[Dropped], None]] = None,
                 on_restart: Optional[Callable[[Restart], None]] = None,
                 on_device: Optional[Callable[[Optional[Device]], None]] = None,
                 watch_program: Optional[Program] = None, on_watch_failure: Optional[Callable[[Any], None]] = None):
        # watch_program and on_watch_failure are accepted, and unused, so that code written when a
        # watcher program followed the default device still runs: the capture program follows it.
        if rate not in RATES or channels not in (1, 2) or format not in FORMATS or timeline not in TIMELINES:
            raise ValueError("rate must be one of %s, channels 1 or 2, format 'f32' or 's16' and timeline 'live', "
                             "'exact' or 'continuous'; not %r, %r, %r, %r" % (RATES, rate, channels, format, timeline))
        if queue_frames < 1:
            raise ValueError("queue_frames must be at least 1")
        numpy_found = numpy_module() if numpy else None
        if numpy and numpy_found is None:
            raise ValueError("numpy=True needs NumPy, which is not installed")
        self.rate, self.channels, self.format = rate, channels, format
        self.frame_samples = rate // 50 * channels
        self.source, self.env, self.start_timeout = source, env, start_timeout
        self._source_arguments, self._device_name = source_arguments(source)
        reopen = ["--reopen", "0", "--no-follow"]
        if restart or follow_default:
            reopen = ["--reopen", str(max_restarts), "--reopen-delay", str(round(restart_delay * 1000)),
                      "--reopen-max-delay", str(round(restart_max_delay * 1000))] + ([] if follow_default else
                                                                                      ["--no-follow"])
        self.arguments = ["--rate", str(rate), "--channels", str(channels), "--sample-type", format, "--timeline",
                          TIMELINES[timeline]] + (["--fill-lag", str(round(fill_after * 1000))]
                                                  if timeline == "continuous" else []) + reopen
        self.program = resolve(program)
        self.command: List[str] = []  # the whole command line, once started
        self.timing: Optional[Timing] = None  # the timing of the frame read last
        self._session = _Session(queue_frames, numpy_found, {"on_gap": on_gap, "on_drop": on_drop,
                                                             "on_restart": on_restart, "on_device": on_device})
        self._finalizer = weakref.finalize(self, self._session.close)
        self._started = False

    def start(self) -> "Capture":
        """Starts the program and returns once it started capturing (or waits for a device);
        raises BrisvaneError with its report when it failed instead, or start_timeout passed."""
        if not self._started:
            self._started = True
            try:
                if self._device_name is not None:
                    listed = devices(self.program, env=self.env, timeout=self.start_timeout)
                    device = find_device(self._device_name, listed)
                    self._source_arguments = ["--device", device.id]
                self.command = self.program + self._source_arguments + self.arguments
                self._session.start(self.command, self.env, self.start_timeout)
            except BrisvaneError as error:
                self._session.finish(error)  # reads raise it too
                raise
        return self

    def __enter__(self) -> "Capture":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def read(self, timeout: Optional[float] = None) -> Any:
        """The next frame, or None when `timeout` seconds passed without one; its timing is then
        in `timing`. Frames still queued are read before the end shows: then BrisvaneError when
        the program failed, or EOFError once the capture ended (closed, or the application
        captured exited: `end_reason`)."""
        if not self._started:
            self.start()
        events, frame, ended = self._session.take(timeout)
        if events:
            self._session.dispatch(events)
        if frame is not None:
            frame, self.timing = frame
            return frame
        if not ended:
            return None
        if self._session.error is not None:
            raise self._session.error
        raise EOFError("the capture ended: %s" % self._session.end_reason)

    def frames(self, timeout: Optional[float] = None, timed: bool = False) -> Iterator[Any]:
        """The frames until the capture ends (as (frame, Timing) pairs with `timed`); with a
        timeout, None for each `timeout` seconds without one (so that a loop can look up).
        Raises BrisvaneError when the program failed."""
        while True:
            try:
                frame = self.read(timeout)
            except EOFError:
                return
            if frame is not None:
                yield (frame, self.timing) if timed else frame
            elif timeout is not None:
                yield None

    def __iter__(self) -> Iterator[Any]:
        return self.frames()

    def close(self) -> None:
        """Stops the program and waits for it (STOP_WAIT seconds at most, then it is killed).
        What it wrote until then can still be read."""
        self._finalizer()

    @property
    def device(self) -> Optional[Device]:
        """The output device of the frames read last (before the first read: the latest the
        program named); None while there is none."""
        read = self._session.device_read
        return read[0] if read else self._session.device

    @property
    def dropped(self) -> int:
        return self._session.dropped

    @property
    def restarts(self) -> int:
        return self._session.restarts

    @property
    def filled(self) -> int:
        """Frames of silence the continuous timeline filled."""
        return round(self._session.filled * 50 / self.rate)

    @property
    def error(self) -> Optional[BrisvaneError]:
        return self._session.error

    @property
    def end_reason(self) -> Optional[str]:
        return self._session.end_reason

    @property
    def process(self) -> Optional["subprocess.Popen[bytes]"]:
        return self._session.process


def capture(program: Optional[Program] = None, **options: Any) -> Capture:
    """A Capture, for `with brisvane.capture(rate=16000, channels=1) as cap:`; it starts on
    entering the block (or on the first read)."""
    return Capture(program, **options)
