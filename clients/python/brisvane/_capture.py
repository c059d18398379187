"""A running capture: brisvane's process (and its successors after restarts), the threads that
always drain its pipes, the bounded queue of converted frames, and the optional continuous
timeline."""
from __future__ import annotations

import math
import os
import subprocess
import threading
import time
import weakref
from collections import deque
from dataclasses import dataclass
from typing import Any, Callable, Deque, Iterator, List, Mapping, Optional, Tuple

from . import _job
from ._convert import FRAME_BYTES, Converter
from ._errors import BrisvaneError
from ._program import WATCH_NAME, WATCH_OVERRIDE, Program, resolve
from ._watch import Device, Watcher, WatchFailure

STARTED_LINE = b"brisvane started\n"
FRAME_SECONDS = 0.02
STEADY_RUN = 30.0  # seconds a run lasts before its end counts as a first loss again
# Codes after which starting again can succeed: the device went away (and, while a new default
# device is not there yet, there is none).
RESTARTABLE = ("DEVICE_INVALIDATED", "RESOURCES_INVALIDATED")
RETRYABLE_WHILE_RESTARTING = RESTARTABLE + ("NO_AUDIO_ENDPOINT",)


@dataclass(frozen=True)
class Gap:
    """Silence filled on the continuous timeline: `frames` frames (`seconds`), the first at
    frame index `at` of the stream; `reason`: 'silence' (nothing played) or 'restart' (no
    program ran meanwhile)."""
    at: int
    frames: int
    reason: str = "silence"

    @property
    def seconds(self) -> float:
        return self.frames * FRAME_SECONDS


@dataclass(frozen=True)
class Dropped:
    """Frames dropped (the oldest) because the queue was full: `frames` since the last report,
    `total` since the start."""
    frames: int
    total: int


@dataclass(frozen=True)
class Restart:
    """Capture started again. `reason`: 'device-lost' (the program ended because the device
    went away; `error` says how) or 'default-changed' (the default output device changed);
    `device`: the current device's name when known; `attempt`: the start that succeeded (1 for
    the first after this reason)."""
    reason: str
    device: Optional[str]
    attempt: int
    error: Optional[BrisvaneError] = None


EVENTS = (Gap, Restart, WatchFailure)  # queued in stream order among the frames


class _Run:
    """One process of the program, with the thread that reads its standard error."""

    def __init__(self, command: List[str], env: Optional[Mapping[str, str]]):
        try:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                            stderr=subprocess.PIPE, env=env, bufsize=0,
                                            creationflags=getattr(subprocess, "CREATE_NO_WINDOW", 0))
        except OSError as e:
            raise BrisvaneError(None, message="could not start %s: %s" % (" ".join(command), e),
                                code="PROGRAM_NOT_FOUND") from e
        try:
            _job.bind_to_this_process(self.process)
        except OSError:
            self.process.kill()
            self.process.wait()
            raise
        self.started = False
        self.began = 0.0
        self.device: Optional[Device] = None  # the default device when it started, as the watcher said
        self.first_line = threading.Event()  # the start-up line, or the end of standard error
        self.stderr = bytearray()
        self.stderr_reader = threading.Thread(target=self._read_stderr, name="brisvane stderr", daemon=True)
        self.stderr_reader.start()

    def _read_stderr(self) -> None:
        stream = self.process.stderr
        assert stream is not None
        try:
            line = stream.readline()
            if line == STARTED_LINE:
                self.started = True
            else:
                self.stderr += line
            self.first_line.set()
            for chunk in iter(lambda: stream.read(4096), b""):
                self.stderr += chunk
        except (OSError, ValueError):
            pass  # closed under us: the run is being ended
        finally:
            stream.close()
            self.first_line.set()

    @property
    def report(self) -> str:
        return bytes(self.stderr).decode("utf-8", errors="replace")

    def wait_started(self, timeout: Optional[float]) -> None:
        """Returns once the program wrote its start-up line; raises its error otherwise."""
        if not self.first_line.wait(timeout):
            self.end()
            raise BrisvaneError(None, message="brisvane did not start within %g s (no start-up line and no "
                                "report)" % timeout, code="START_TIMEOUT")
        if not self.started:
            status = self.process.wait()
            self.stderr_reader.join()
            raise BrisvaneError(status, self.report)

    def end(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


class _Session:
    """Everything the threads touch; the Capture object that owns it can be collected while
    they run, and then ends it."""

    def __init__(self, command: List[str], env: Optional[Mapping[str, str]], converter: Converter,
                 queue_frames: int, continuous: bool, fill_after: float, restart: bool, max_restarts: int,
                 start_timeout: float, callbacks: Mapping[str, Optional[Callable[[Any], None]]],
                 follow: bool):
        self.command, self.env, self.converter = command, env, converter
        self.queue_frames, self.continuous, self.fill_after = queue_frames, continuous, fill_after
        self.restart_on_loss, self.max_restarts, self.start_timeout = restart or follow, max_restarts, start_timeout
        self.follow_default = follow
        self.callbacks = callbacks
        self.cond = threading.Condition(threading.RLock())
        self.items: Deque[Any] = deque()  # frames, and events in stream order
        self.queued = 0                   # frames among the items
        self.early_events: List[Any] = []  # events whose place was dropped with old frames
        self.dropped = self.dropped_reported = 0
        self.emitted = 0                  # frames put on the timeline: real and filled
        self.filled = 0
        self.restarts = 0
        self.attempts = 0  # starts again in a row; a run of STEADY_RUN seconds resets it
        self.t0 = 0.0
        self.run: Optional[_Run] = None
        self.error: Optional[BrisvaneError] = None
        self.closed = False
        self.closing = threading.Event()
        self.wakers: List[Callable[[], None]] = []
        self.starting = threading.Lock()   # one start of the program at a time, whoever asks
        self.default: Optional[Device] = None  # the latest default device the watcher reported
        self.watcher: Optional[Watcher] = None
        self.watch_failure: Optional[WatchFailure] = None

    # --- the watcher ----------------------------------------------------------------------------
    def follow(self, command: Optional[List[str]], why_not: str) -> None:
        """Starts brisvane-watch.exe (`command`, None when it could not be found: `why_not`); a
        failure is reported and the capture goes on without it."""
        try:
            if command is None:
                raise OSError(why_not)
            self.watcher = Watcher(command, self.env, self.default_changed, self.watch_failed)
        except OSError as e:
            self.watch_failed(WatchFailure("brisvane-watch.exe could not be started, so the default device "
                                           "is not followed: %s" % e))

    def default_changed(self, device: Optional[Device]) -> None:
        """Restarts the capture when the default device is another than the one it captures;
        with no default device, it waits for one."""
        with self.cond:
            self.default = device
        if device is None:
            return
        with self.starting:
            run = self.run
            if run is None or self.closed:
                return  # being started again (after a loss): that start takes the new default
            if run.device is None:
                run.device = device  # the first line: the device it started on
            elif run.device.id != device.id:
                self.start_again_locked("default-changed", None)

    def watch_failed(self, failure: WatchFailure) -> None:
        with self.cond:
            if self.closed:
                return
            self.watch_failure = failure
            self.push(failure)
            self.wake()

    # --- the program ------------------------------------------------------------------------
    def launch(self) -> _Run:
        device = self.default
        run = _Run(self.command, self.env)
        run.device = device
        try:
            run.wait_started(self.start_timeout)
        except BaseException:
            self.discard(run)
            raise
        return run

    @staticmethod
    def discard(run: _Run) -> None:
        run.end()
        if run.process.stdout is not None:
            run.process.stdout.close()

    def begin(self, run: _Run) -> None:
        """Makes `run` the current one and starts draining its standard output."""
        with self.cond:
            if self.closed:
                self.discard(run)
                return
            self.run = run
            run.device = run.device or self.default  # reported while it started
            run.began = time.monotonic()
            if not self.t0:
                self.t0 = time.monotonic()
        threading.Thread(target=self.pump, args=(run,), name="brisvane stdout", daemon=True).start()

    def pump(self, run: _Run) -> None:
        """Reads the program's standard output as fast as it comes, whatever the consumer does."""
        stdout = run.process.stdout
        assert stdout is not None
        fd = stdout.fileno()
        pending = bytearray()
        try:
            while True:
                chunk = os.read(fd, 1 << 16)
                if not chunk:
                    break
                pending += chunk
                while len(pending) >= FRAME_BYTES:
                    self.deliver(run, bytes(pending[:FRAME_BYTES]))
                    del pending[:FRAME_BYTES]
        except OSError:
            pass  # closed under us
        status = run.process.wait()
        run.stderr_reader.join()
        stdout.close()
        self.run_ended(run, status)

    def deliver(self, run: _Run, data: bytes) -> None:
        with self.cond:
            if run is not self.run:
                return
            if self.continuous:
                self.fill_until(time.monotonic())
            self.push(self.converter.frame(data))
            self.emitted += 1
            self.wake()

    def run_ended(self, run: _Run, status: int) -> None:
        with self.cond:
            if run is not self.run or self.closed:
                return
            self.run = None
        error = BrisvaneError(status, run.report)
        if time.monotonic() - run.began >= STEADY_RUN:
            self.attempts = 0
        if self.restart_on_loss and error.code in RESTARTABLE:
            with self.starting:
                self.start_again("device-lost", error)
        else:
            self.finish(error)

    def start_again(self, reason: str, error: Optional[BrisvaneError], name: Optional[str] = None) -> None:
        """Starts the program again after `reason` (holding `starting`): after a device loss
        with back-off (0.25 s, doubling up to 4 s), at most max_restarts times in a row."""
        while True:
            if error is not None and self.attempts >= self.max_restarts:
                self.finish(error)
                return
            self.attempts += 1
            if self.closing.wait(min(4.0, 0.25 * 2 ** (self.attempts - 1)) if error else 0):
                return
            try:
                run = self.launch()
            except BrisvaneError as e:
                if e.code not in RETRYABLE_WHILE_RESTARTING:
                    self.finish(e)
                    return
                error = e
                continue
            with self.cond:
                self.restarts += 1
                if self.continuous:
                    self.fill_until(time.monotonic())  # the time without a program, as a restart gap
                name = name or (run.device.name if run.device else None)
                self.push(Restart(reason, name, self.attempts, error))
            self.begin(run)
            return

    def finish(self, error: Optional[BrisvaneError]) -> None:
        with self.cond:
            if self.closed:
                return
            self.error, self.closed = error, True
            self.closing.set()
            self.wake()
        if self.watcher is not None:
            self.watcher.stop()  # nothing left to follow

    def restart(self, reason: str, name: Optional[str]) -> None:
        with self.starting:
            self.start_again_locked(reason, None, name)

    def start_again_locked(self, reason: str, error: Optional[BrisvaneError], name: Optional[str] = None) -> None:
        """Ends the current program and starts it again (holding `starting`)."""
        with self.cond:
            old, self.run = self.run, None
            if self.closed:
                return
        if old is not None:
            old.end()
        self.attempts = 0
        self.start_again(reason, error, name)

    def close(self) -> None:
        with self.cond:
            run, self.run = self.run, None
            self.closed = True
            self.closing.set()
            self.wake()
        if self.watcher is not None:
            self.watcher.stop()
        if run is not None:
            run.end()
            if threading.current_thread() is not run.stderr_reader:
                run.stderr_reader.join(5)

    # --- the queue and the timeline ------------------------------------------------------------
    def push(self, item: Any) -> None:
        self.items.append(item)
        if isinstance(item, EVENTS):
            return
        self.queued += 1
        while self.queued > self.queue_frames:
            old = self.items.popleft()
            if isinstance(old, EVENTS):
                self.early_events.append(old)
            else:
                self.queued -= 1
                self.dropped += 1

    def frames_due(self, now: float) -> int:
        """Frames the timeline should hold by `now`: the wall clock since the start less the
        allowance for audio on its way."""
        return int(math.floor((now - self.t0 - self.fill_after) / FRAME_SECONDS))

    def fill_until(self, now: float) -> None:
        count = self.frames_due(now) - self.emitted
        if count <= 0 or not self.t0:
            return
        self.push(Gap(self.emitted, count, "silence" if self.run is not None else "restart"))
        for _ in range(count):
            self.push(self.converter.silence())
        self.emitted += count
        self.filled += count

    def next_fill_in(self, now: float) -> float:
        if not self.continuous or self.closed or not self.t0:
            return math.inf
        return self.t0 + self.fill_after + (self.emitted + 1) * FRAME_SECONDS - now

    def wake(self) -> None:
        self.cond.notify_all()
        for waker in self.wakers:
            try:
                waker()
            except RuntimeError:  # its event loop was closed: nobody waits there any more
                pass

    def take(self, timeout: Optional[float]) -> Tuple[List[Any], Any, bool]:
        """Waits for the next frame: (events before it, the frame or None, whether it ended)."""
        deadline = None if timeout is None else time.monotonic() + timeout
        events: List[Any] = []
        with self.cond:
            while True:
                now = time.monotonic()
                if self.continuous and not self.closed:
                    self.fill_until(now)
                events += self.early_events
                self.early_events.clear()
                if self.dropped > self.dropped_reported:
                    events.append(Dropped(self.dropped - self.dropped_reported, self.dropped))
                    self.dropped_reported = self.dropped
                while self.items:
                    item = self.items.popleft()
                    if isinstance(item, EVENTS):
                        events.append(item)
                        continue
                    self.queued -= 1
                    return events, item, False
                if self.closed:
                    return events, None, True
                wait = self.next_fill_in(now)
                if deadline is not None:
                    wait = min(wait, deadline - now)
                if deadline is not None and deadline <= now:
                    return events, None, False
                self.cond.wait(None if wait == math.inf else max(wait, 0.001))

    def dispatch(self, events: List[Any]) -> None:
        for event in events:
            name = {Gap: "on_gap", Dropped: "on_drop", Restart: "on_restart",
                    WatchFailure: "on_watch_failure"}[type(event)]
            callback = self.callbacks.get(name)
            if callback is not None:
                callback(event)


class Capture:
    """brisvane capturing what the computer plays, as frames of 20 ms in the format asked for.

    Use it as a context manager (leaving the block ends the program) and iterate over it, or
    call read() with a timeout. Closing it, leaving the block, and collecting it all end the
    program; on Windows the program also ends with this process, however that ends.

    - program: the program to run (a path, or a command as a list); by default
      BRISVANE_COMMAND, then the brisvane.exe bundled with the Windows wheel.
    - rate: 48000, 24000, 16000, 12000, 9600, 8000 (48000 divided by a factor of 960);
      channels: 2 or 1 (the mean of left and right); format: 'f32' or 's16'.
    - numpy: frames as NumPy arrays of shape (samples, channels) instead of flat interleaved
      array('f') / array('h'); NumPy then also does the arithmetic.
    - queue_frames: frames kept for a consumer that falls behind; when it is full the oldest
      are dropped and counted (`dropped`, on_drop).
    - timeline: 'live' (frames as the program writes them: nothing while nothing plays) or
      'continuous' (silence filled by the clock: the stream's length follows the wall clock
      within one frame plus fill_after seconds; each fill is a Gap event).
    - restart: start the program again when it ends because the device went away (back-off
      from 0.25 s, at most max_restarts starts in a row: a run of 30 s starts the count
      again), with a Restart event; any other end is an error.
    - follow_default: also run brisvane-watch.exe, and when the default output device changes
      to another one, start the program again on it (a Restart event with reason
      'default-changed' and the device's name; with no default device it waits for one);
      `device` is the device being captured. It implies restart=True. If the watcher cannot
      start, ends or writes a line that cannot be read, the capture goes on without following:
      a WatchFailure event, also kept in `watch_failure`.
    - watch_program: brisvane-watch.exe as `program` (by default BRISVANE_WATCH_COMMAND, then
      the one bundled with the Windows wheel).
    - start_timeout: seconds to wait for the start-up line.
    - on_gap, on_drop, on_restart, on_watch_failure: called with Gap, Dropped, Restart,
      WatchFailure events, in stream order, by the thread that reads, before the frame they
      precede.
    """

    def __init__(self, program: Optional[Program] = None, *, rate: int = 48000, channels: int = 2,
                 format: str = "f32", numpy: bool = False, queue_frames: int = 500, timeline: str = "live",
                 fill_after: float = 0.2, restart: bool = False, max_restarts: int = 5,
                 start_timeout: float = 10.0, env: Optional[Mapping[str, str]] = None,
                 follow_default: bool = False, watch_program: Optional[Program] = None,
                 on_gap: Optional[Callable[[Gap], None]] = None,
                 on_drop: Optional[Callable[[Dropped], None]] = None,
                 on_restart: Optional[Callable[[Restart], None]] = None,
                 on_watch_failure: Optional[Callable[[WatchFailure], None]] = None):
        if timeline not in ("live", "continuous"):
            raise ValueError("timeline must be 'live' or 'continuous', not %r" % (timeline,))
        if queue_frames < 1:
            raise ValueError("queue_frames must be at least 1")
        self.converter = Converter(rate, channels, format, numpy)
        self.rate, self.channels, self.format = rate, channels, format
        self.frame_samples = self.converter.frame_samples
        command = resolve(program)
        self._session = _Session(command, env, self.converter, queue_frames, timeline == "continuous",
                                 fill_after, restart, max_restarts, start_timeout,
                                 {"on_gap": on_gap, "on_drop": on_drop, "on_restart": on_restart,
                                  "on_watch_failure": on_watch_failure}, follow_default)
        self._watch_command: Optional[List[str]] = None
        self._watch_error = ""
        if follow_default:
            try:
                self._watch_command = resolve(watch_program, name=WATCH_NAME, override=WATCH_OVERRIDE,
                                              argument="watch_program")
            except BrisvaneError as e:
                self._watch_error = e.message
        self._finalizer = weakref.finalize(self, self._session.close)
        self._started = False

    @property
    def command(self) -> List[str]:
        return self._session.command

    def start(self) -> "Capture":
        """Starts the program and returns once it wrote its start-up line; raises BrisvaneError
        with its report when it failed instead, or when start_timeout passed."""
        if not self._started:
            self._started = True
            if self._session.follow_default:
                self._session.follow(self._watch_command, self._watch_error)
            try:
                run = self._session.launch()
            except BrisvaneError as error:
                self._session.finish(error)  # reads raise it too
                raise
            self._session.begin(run)
        return self

    def __enter__(self) -> "Capture":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def read(self, timeout: Optional[float] = None) -> Any:
        """The next frame, or None when `timeout` seconds passed without one. Frames still
        queued are read before the end shows: then BrisvaneError when the program failed, or
        EOFError once the capture was closed."""
        if not self._started:
            self.start()
        events, frame, ended = self._session.take(timeout)
        self._session.dispatch(events)
        if not ended:
            return frame
        if self._session.error is not None:
            raise self._session.error
        raise EOFError("the capture was closed")

    def frames(self, timeout: Optional[float] = None) -> Iterator[Any]:
        """The frames until the capture is closed; with a timeout, None for each `timeout`
        seconds without one (so that a loop can look up). Raises BrisvaneError when the program
        failed."""
        while True:
            try:
                frame = self.read(timeout)
            except EOFError:
                return
            if frame is not None or timeout is not None:
                yield frame

    def __iter__(self) -> Iterator[Any]:
        return self.frames()

    def restart(self, reason: str = "default-changed", device: Optional[str] = None) -> None:
        """Ends the program and starts it again, with a Restart event of this reason and device
        name (by default the name the watcher reported); its failure ends the capture with
        that error."""
        self._session.restart(reason, device)

    @property
    def device(self) -> Optional[Device]:
        """With follow_default, the device being captured (id and name), once the watcher said."""
        run = self._session.run
        return run.device if run is not None else None

    @property
    def watch_failure(self) -> Optional[WatchFailure]:
        """Why the default device is no longer followed, if it is not."""
        return self._session.watch_failure

    def close(self) -> None:
        """Ends the program and waits for it. Frames already queued can still be read."""
        self._finalizer()

    @property
    def dropped(self) -> int:
        """Frames dropped because the queue was full."""
        return self._session.dropped

    @property
    def filled(self) -> int:
        """Frames of silence put on the continuous timeline."""
        return self._session.filled

    @property
    def restarts(self) -> int:
        return self._session.restarts

    @property
    def error(self) -> Optional[BrisvaneError]:
        """The error that ended the capture, once it ended."""
        return self._session.error

    @property
    def process(self) -> Optional["subprocess.Popen[bytes]"]:
        """The program's current process, while one runs."""
        run = self._session.run
        return run.process if run is not None else None


def capture(program: Optional[Program] = None, **options: Any) -> Capture:
    """A Capture, for `with brisvane.capture(rate=16000, channels=1) as cap:`; it starts on
    entering the block (or on the first read)."""
    return Capture(program, **options)
