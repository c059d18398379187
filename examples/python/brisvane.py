"""Starts brisvane.exe and reads its PCM stream in frames of 7680 bytes: 960 sample frames of
interleaved left/right 32-bit floats (20 ms), each as an array('f') of 1920 values.
Standard library only.

    import brisvane

    with brisvane.Capture() as capture:
        capture.wait_started()            # True once brisvane wrote "brisvane started"
        for frame in capture:             # array('f'), 1920 floats
            ...

or, as a plain generator that stops the program when the loop is left:

    for frame in brisvane.frames():
        ...

brisvane never ends on its own without a report, so when the stream ends without this side
having stopped it, the iteration raises BrisvaneError, which carries the exit status
(.status), the report written on standard error (.report), its first line's context
(.context) and its causes (.causes). With NumPy, a frame as a (960, 2) array is
numpy.frombuffer(frame, dtype=numpy.float32).reshape(-1, 2).
"""
import json
import os
import subprocess
import sys
import threading
from array import array

FRAME_BYTES = 7680
FRAME_SAMPLES = FRAME_BYTES // 4
SAMPLE_RATE = 48000
CHANNELS = 2
STARTED_LINE = b"brisvane started\n"

# Exit statuses that come without an "Error:" report.
STATUS_MEANINGS = {
    101: "the start-up line could not be written to standard error",
    102: "memory could not be obtained",
}


def parse_report(report):
    """Splits brisvane's error report ("Error: <context>\\n\\nCaused by:\\n    0: ...") into its
    context line and its causes (continuation lines of a cause joined with "\\n")."""
    text = report.replace("\r\n", "\n").rstrip("\n")
    if not text.startswith("Error: "):
        return (text.split("\n")[0] or None), []
    context, marker, rest = text[len("Error: "):].partition("\n\nCaused by:\n")
    causes = []
    if marker:
        lines = rest.split("\n")

        def starts_cause(line):
            head = line[:7]
            return len(head) == 7 and head.endswith(": ") and head[:-2].strip().isdigit()

        if not starts_cause(lines[0]):  # one cause, indented by four spaces
            causes.append("\n".join(line[4:] for line in lines))
        else:  # numbered causes, continued under their first line
            for line in lines:
                if starts_cause(line):
                    causes.append(line[7:])
                else:
                    causes[-1] += "\n" + line[7:]
    return context, causes


class BrisvaneError(Exception):
    """brisvane ended: its exit status (negative: the signal that ended it, on POSIX), the
    report from its standard error (after the start-up line), that report's context line
    and causes."""

    def __init__(self, status, report):
        self.status = status
        self.report = report
        self.context, self.causes = parse_report(report)
        why = self.context or STATUS_MEANINGS.get(status, "it ended without a report")
        message = "brisvane exited with status %d: %s" % (status, why)
        if self.causes:
            message += ": " + self.causes[0]
        super().__init__(message)


def default_command():
    """The command that starts the program: BRISVANE_COMMAND when set (words separated by
    blanks, or a JSON array of strings for paths with blanks), for example
    "wine C:/tools/brisvane.exe"; otherwise brisvane.exe, looked up on PATH."""
    value = os.environ.get("BRISVANE_COMMAND", "").strip()
    if not value:
        return ["brisvane.exe"]
    if value.startswith("["):
        return json.loads(value)
    return value.split()


class Capture:
    """A running brisvane: a context manager, and an iterator of frames (array('f') of
    1920 floats). Leaving the `with` block ends the program. `command`: the program and its
    first arguments (default: default_command()); `env`: the child's environment (default:
    this process's)."""

    def __init__(self, command=None, env=None):
        self.command = list(command) if command is not None else default_command()
        self.env = env
        self.started = False
        self._first_line = threading.Event()  # the start-up line, or the end of standard error
        self._stderr = bytearray()
        self._stopping = False
        self._process = None
        self._reader = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        # No console window on Windows (brisvane opens none itself; this is for the command
        # prefix a test may put in front of it).
        flags = getattr(subprocess, "CREATE_NO_WINDOW", 0)
        self._process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, env=self.env, creationflags=flags)
        # Standard error on its own thread, so that it can never fill up and stall the program.
        self._reader = threading.Thread(target=self._read_stderr, name="brisvane stderr", daemon=True)
        self._reader.start()

    def _read_stderr(self):
        stream = self._process.stderr
        try:
            line = stream.readline()
            if line == STARTED_LINE:
                self.started = True
            else:
                self._stderr += line
            self._first_line.set()
            for chunk in iter(lambda: stream.read1(4096), b""):
                self._stderr += chunk
        finally:
            self._first_line.set()

    def wait_started(self, timeout=None):
        """Waits for the start-up line; True once brisvane has written it, False when it ended
        without it or the timeout passed."""
        self._first_line.wait(timeout)
        return self.started

    def __iter__(self):
        return self.frames()

    def frames(self):
        """The frames, in order. Raises BrisvaneError when the program ends by itself."""
        if self._process is None:
            self.start()
        # The start-up line comes before the first PCM byte: surface it first.
        self._first_line.wait()
        stdout = self._process.stdout
        while True:
            data = stdout.read(FRAME_BYTES)  # blocks until a whole frame or the end
            if len(data) < FRAME_BYTES:
                break  # a part of a frame is left only when the process was ended mid-write
            frame = array("f")
            frame.frombytes(data)
            if sys.byteorder == "big":
                frame.byteswap()  # the stream is little-endian
            yield frame
        status = self._process.wait()
        self._reader.join()
        if not self._stopping:
            raise BrisvaneError(status, self.report)

    @property
    def report(self):
        """What brisvane wrote on standard error after the start-up line, as text."""
        return bytes(self._stderr).decode("utf-8", errors="replace")

    @property
    def status(self):
        return None if self._process is None else self._process.poll()

    def stop(self):
        """Ends the program (it has no other way to stop) and waits for it."""
        if self._process is None:
            return
        self._stopping = True
        if self._process.poll() is None:
            self._process.kill()
        self._process.wait()
        self._process.stdout.close()
        self._reader.join()
        self._process.stderr.close()


def frames(command=None, env=None):
    """A generator of frames; leaving the loop early ends the program."""
    with Capture(command, env) as capture:
        yield from capture
