"""The end-to-end rig: runs the real brisvane.exe (or another of the project's programs)
under Wine through launcher.exe, against the simulated engine server installed in a throwaway
prefix, and reads back what a caller of the program sees (pipes, exit status, timings) and what
the engine saw.
"""
import os
import shutil
import subprocess
import tempfile
import time

FRAME = 7680
CLSID = "{BCDE0395-E52F-467C-8E3D-C4579291692E}"
CLSID_KEY = "HKLM\\Software\\Classes\\CLSID\\" + CLSID + "\\InprocServer32"
# The engine server is the prefix's mmdevapi.dll: one module, so one engine, serves the device
# enumerator class and ActivateAudioInterfaceAsync.
MMDEVAPI = "C:\\windows\\system32\\mmdevapi.dll"
# The Windows the prefix reports: Windows 10 22H2 (Wine 8's own "win10" is build 18362).
NT_VERSION_KEY = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion"
NT_VERSION = (("CurrentVersion", "REG_SZ", "10.0"), ("CurrentBuild", "REG_SZ", "19045"),
              ("CurrentBuildNumber", "REG_SZ", "19045"), ("CurrentMajorVersionNumber", "REG_DWORD", "10"),
              ("CurrentMinorVersionNumber", "REG_DWORD", "0"), ("CSDVersion", "REG_SZ", ""))
STARTED = b"brisvane started\n"
STOPPED = 124  # launcher: it ended the child as asked


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# --- the counting source --------------------------------------------------------------
# byte i = (7i + (i >> 8) + (i >> 16) + (i >> 24)) mod 256. For i = 65536 m + r that is
# P[r] + m + (m >> 8), with P[r] = 7r + (r >> 8): 256 shifted copies of one 64 KiB block.
_BLOCK = bytes(((7 * r) + (r >> 8)) & 0xFF for r in range(65536))
_SHIFTED = {}


def _block(m):
    c = (m + (m >> 8)) & 0xFF
    b = _SHIFTED.get(c)
    if b is None:
        b = _BLOCK.translate(bytes((x + c) & 0xFF for x in range(256)))
        _SHIFTED[c] = b
    return b


def counting(offset, length):
    """Bytes [offset, offset + length) of the counting source."""
    out = bytearray()
    while length > 0:
        m, r = divmod(offset, 65536)
        n = min(length, 65536 - r)
        out += _block(m)[r:r + n]
        offset += n
        length -= n
    return bytes(out)


def compare_counting(path, expected_length, chunk=1 << 20):
    """Streams the file against the counting source; the first difference, or None."""
    size = os.path.getsize(path)
    offset = 0
    with open(path, "rb") as f:
        while True:
            data = f.read(chunk)
            if not data:
                break
            want = counting(offset, len(data))
            if data != want:
                i = next(k for k in range(len(data)) if data[k] != want[k])
                return "byte %d is 0x%02X, the engine sent 0x%02X there" % (offset + i, data[i], want[i])
            offset += len(data)
    if size != expected_length:
        return "%d bytes on standard output, expected %d" % (size, expected_length)
    return None


def packet_sizes(frames, count):
    return [frames[i % len(frames)] for i in range(count)]


def packets_for(frames, at_least_bytes):
    """How many packets of the cycle of sizes `frames` carry at least `at_least_bytes`."""
    n, total = 0, 0
    while total < at_least_bytes:
        total += 8 * frames[n % len(frames)]
        n += 1
    return n


# --- reports -----------------------------------------------------------------------------
def trim_ws(text):
    return text.rstrip("\t\n\v\f\r ")


def hr_display(code, message):
    hexed = "0x%08X" % (code & 0xFFFFFFFF)
    return "%s (%s)" % (message, hexed) if message else hexed


def numbered_report(context, causes):
    text = "Error: " + context + "\n\nCaused by:"
    for n, cause in enumerate(causes):
        text += "\n" + ("%5d: " % n) + cause.replace("\n", "\n       ")
    return text + "\n"


def single_report(context, cause):
    return "Error: " + context + "\n\nCaused by:\n    " + cause.replace("\n", "\n    ") + "\n"


def windows_report(context, code, message):
    d = hr_display(code, message)
    return numbered_report(context, ["Windows returned an error: " + d, d])


# --- the engine log ------------------------------------------------------------------------
class EngineLog:
    def __init__(self, path):
        self.lines = []
        if os.path.exists(path):
            with open(path, encoding="utf-8", errors="replace") as f:
                self.lines = f.read().splitlines()

    def fields(self, line):
        out = {}
        for word in line.split()[1:]:
            if "=" in word:
                k, v = word.split("=", 1)
                out[k] = v
        return out

    def of(self, first_word):
        return [self.fields(l) for l in self.lines if l.split(" ", 1)[0] == first_word]

    def calls(self, method=None):
        out = []
        for l in self.lines:
            w = l.split()
            if w and w[0] == "call":
                name = w[3]
                if method is None or name.endswith("." + method):
                    out.append((int(w[1][2:]), name, l.rsplit(" ", 1)[1]))
        return out

    def started_us(self):
        s = self.of("started")
        return int(s[0]["t"]) if s else None

    def packets(self, stream=None):
        """The packets the engine made ready (of one stream), from its `ready` lines, as numbers."""
        return [{k: int(v) for k, v in f.items()} for f in self.of("ready")
                if stream is None or int(f["stream"]) == stream]

    def summary(self):
        s = self.of("summary")
        return {k: int(v) for k, v in s[-1].items()} if s else None

    def check_released(self, kinds=("Enumerator", "Device", "AudioClient", "CaptureClient")):
        """Every object handed to the program was released exactly once."""
        check(self.lines and self.lines[-1] == "end",
              "the engine log does not end with its process-exit report:\n" + "\n".join(self.lines[-5:]))
        bad = [l for l in self.lines if l.startswith("LEAK") or l.startswith("OVER-RELEASED") or l.startswith("ERROR")]
        check(not bad, "objects not released exactly once:\n" + "\n".join(bad))
        seen = {}
        for l in self.lines:
            if l.startswith("object "):
                name = l.split()[1].split("#")[0]
                f = self.fields(l)
                seen.setdefault(name, []).append(f)
                if name != "Factory":
                    check(int(f["refs"]) == 0 and int(f["releases"]) == int(f["add_refs"]) + 1,
                          "not released exactly once: " + l)
        for k in kinds:
            check(k in seen, "the engine never handed out a %s (objects: %s)" % (k, sorted(seen)))
        return seen


# --- running the program -----------------------------------------------------------------------
class Result:
    def __init__(self, work, proc):
        self.work = work
        self.status = proc.returncode
        self.launcher_out = proc.stdout
        self.launcher_err = proc.stderr
        self.stdout_path = os.path.join(work, "stdout.bin")
        self.stderr = self._read("stderr.bin")
        self.summary = {}
        self.pauses = []
        for line in self._read("summary.txt").decode().splitlines():
            k, v = line.split("=", 1)
            if k == "pause":
                self.pauses.append(tuple(int(x) for x in v.split()))
            else:
                self.summary[k] = v
        self.target_pid = int(self.summary["target_pid"]) if "target_pid" in self.summary else None
        self.frames = [tuple(int(x) for x in l.split()) for l in self._read("frames.txt").decode().splitlines()]
        self.reads = [tuple(int(x) for x in l.split()) for l in self._read("reads.txt").decode().splitlines()]
        self.log = EngineLog(os.path.join(work, "engine.log"))

    def _read(self, name):
        p = os.path.join(self.work, name)
        if not os.path.exists(p):
            return b""
        with open(p, "rb") as f:
            return f.read()

    def stdout(self):
        with open(self.stdout_path, "rb") as f:
            return f.read()

    def stdout_size(self):
        return os.path.getsize(self.stdout_path) if os.path.exists(self.stdout_path) else 0

    def describe(self):
        return ("launcher status %s; summary %s; stderr %r; launcher stderr %r; engine log tail:\n%s" %
                (self.status, self.summary, self.stderr[:2000], self.launcher_err[-2000:],
                 "\n".join(self.log.lines[-12:])))


class Rig:
    def __init__(self, build_dir):
        self.build = os.path.abspath(build_dir)
        self.exe = os.path.join(self.build, "src", "brisvane.exe")
        self.capture_exe = os.path.join(self.build, "src", "brisvane-capture.exe")
        self.launcher = os.path.join(self.build, "tools", "sim", "launcher", "launcher.exe")
        self.dll = os.path.join(self.build, "tools", "sim", "server", "brisvane_engine_server.dll")
        self.wine_run = os.path.join(self.build, "wine-run")
        self.root = os.path.join(self.build, "e2e")
        self.prefix = os.path.join(self.root, "wineprefix")
        self.mmdevapi = os.path.join(self.prefix, "drive_c", "windows", "system32", "mmdevapi.dll")
        self.versions = os.path.join(self.root, "windows-versions")
        self.env = dict(os.environ)
        self.env["BRISVANE_WINEPREFIX"] = self.prefix
        self.env["WINEDEBUG"] = "-all"
        self.env["WINEDLLOVERRIDES"] = "winealsa.drv,winepulse.drv=d;mscoree,mshtml="
        self.env.pop("BRISVANE_ENGINE_SCENARIO", None)
        self._messages = {}
        if os.path.exists(os.path.join(self.prefix, "system.reg")):
            self.keep_server()

    def keep_server(self):
        """A Wine server that stays up 30 s after its last process: without it every Wine
        start here costs seconds. If one already runs for the prefix this does nothing."""
        env = dict(self.env)
        env["WINEPREFIX"] = self.prefix
        if subprocess.run(["wineserver", "-k0"], env=env, capture_output=True).returncode == 0:
            return  # one is running (signal 0 only asks)
        subprocess.Popen(["wineserver", "-p30"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, start_new_session=True)
        for _ in range(100):
            if subprocess.run(["wineserver", "-k0"], env=env, capture_output=True).returncode == 0:
                return
            time.sleep(0.1)

    def wine(self, *args, timeout=300, extra_env=None):
        env = dict(self.env)
        if extra_env:
            env.update(extra_env)
        # Files, not pipes: a Wine server that this call starts inherits them and lingers.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            p = subprocess.run([self.wine_run] + list(args), env=env, stdin=subprocess.DEVNULL, stdout=out,
                               stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            p.stdout, p.stderr = out.read(), err.read()
        return p

    def setup(self):
        """Creates the throwaway prefix, installs the engine server there as mmdevapi.dll (Wine's
        own left out by a DLL override) and registers it for the enumerator class in the 64-bit
        registry view, replacing Wine's own; the prefix reports Windows 10 build 19045."""
        os.makedirs(self.root, exist_ok=True)
        for f in (self.exe, self.launcher, self.dll):
            check(os.path.exists(f), "not built: " + f)
        self.wine("cmd", "/c", "exit")  # creates the prefix
        self.keep_server()
        self.install_engine()
        shutil.rmtree(self.versions, ignore_errors=True)  # their registrations were this prefix's
        values = [(CLSID_KEY, "", "REG_SZ", MMDEVAPI), (CLSID_KEY, "ThreadingModel", "REG_SZ", "Both"),
                  ("HKCU\\Software\\Wine\\DllOverrides", "mmdevapi", "REG_SZ", "native")]
        values += [(NT_VERSION_KEY,) + v for v in NT_VERSION]
        for key, name, kind, data in values:
            self.wine("reg", "add", key, *(("/v", name) if name else ("/ve",)), "/t", kind, "/d", data, "/f", "/reg:64")
        q = self.wine("reg", "query", CLSID_KEY, "/reg:64").stdout.decode(errors="replace")
        check(MMDEVAPI.lower() in q.lower() and "Both" in q, "the registration did not take:\n" + q)

    def install_engine(self):
        """The built engine server as the prefix's mmdevapi.dll, replaced whole (a running
        process keeps the file it mapped) when the build has changed it."""
        with open(self.dll, "rb") as f:
            built = f.read()
        if os.path.exists(self.mmdevapi):
            with open(self.mmdevapi, "rb") as f:
                if f.read() == built:
                    return
        fd, temporary = tempfile.mkstemp(dir=os.path.dirname(self.mmdevapi))
        with os.fdopen(fd, "wb") as f:
            f.write(built)
        os.chmod(temporary, 0o644)
        os.replace(temporary, self.mmdevapi)

    def as_windows(self, exe, version):
        """A copy of `exe` that Wine runs as the Windows `version` (a name that Wine knows: win7,
        win81, win10 = build 18362, ...), through HKCU\\Software\\Wine\\AppDefaults\\<name>\\Version,
        which Wine honours per executable name."""
        name = "%s-%s.exe" % (os.path.splitext(os.path.basename(exe))[0], version)
        path = os.path.join(self.versions, name)
        os.makedirs(self.versions, exist_ok=True)
        fd, temporary = tempfile.mkstemp(dir=self.versions)
        with os.fdopen(fd, "wb") as f, open(exe, "rb") as source:
            f.write(source.read())
        os.replace(temporary, path)
        marker = path + ".registered"
        if not os.path.exists(marker):
            self.wine("reg", "add", "HKCU\\Software\\Wine\\AppDefaults\\" + name, "/v", "Version", "/d", version, "/f")
            open(marker, "w").close()
        return path

    def message(self, code):
        """The system's message text for a code, as FormatMessageW gives it, trimmed."""
        if code not in self._messages:
            p = self.wine(self.launcher, "--message", "0x%08X" % (code & 0xFFFFFFFF))
            self._messages[code] = trim_ws(p.stdout.decode("utf-8"))
        return self._messages[code]

    def run(self, name, scenario, options=(), timeout=600, record=("stdout", "stderr", "frames", "reads"),
            exe=None, engine_log=True, args=(), target_ms=None, windows=None):
        """Runs `exe` (brisvane.exe by default) through the launcher with the scenario.
        `record` names what the launcher keeps of the pipes (the rest it only drains);
        with engine_log=False the engine writes no log. `args` go to the program ({target} in
        one becomes the id of a target process that the launcher starts first and that ends
        by itself `target_ms` ms later: Result.target_pid); `windows` runs it as an older
        Windows (see as_windows)."""
        self.install_engine()
        work = os.path.join(self.root, "runs", name)
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        text = scenario.strip() + "\n"
        if engine_log:
            text += "log = %s\n" % winpath(os.path.join(work, "engine.log"))
        with open(os.path.join(work, "scenario.txt"), "w") as f:
            f.write(text)
        program = self.as_windows(exe or self.exe, windows) if windows else exe or self.exe
        command = [self.launcher, "--exe", winpath(program), "--summary", winpath(os.path.join(work, "summary.txt"))]
        for a in args:
            command += ["--arg", a]
        if target_ms is not None:
            command += ["--target-ms", str(target_ms)]
        if "--no-std-handles" not in options:
            files = {"stdout": "stdout.bin", "stderr": "stderr.bin", "frames": "frames.txt", "reads": "reads.txt"}
            for what in record:
                command += ["--" + what, winpath(os.path.join(work, files[what]))]
        command += list(options)
        proc = self.wine(*command, timeout=timeout,
                         extra_env={"BRISVANE_ENGINE_SCENARIO": winpath(os.path.join(work, "scenario.txt"))})
        r = Result(work, proc)
        if engine_log and exe is None:
            check(r.log.lines and r.log.lines[0].startswith("server pid="),
                  "brisvane.exe did not load the engine server: " + r.describe())
        return r


def run_cases(cases, argv):
    """The main of a script of cases: `SCRIPT BUILD_DIR CASE` runs one case with a rig."""
    import sys
    if len(argv) != 3 or argv[2] not in cases:
        print("usage: %s BUILD_DIR {%s}" % (os.path.basename(argv[0]), ",".join(cases)), file=sys.stderr)
        return 2
    t0 = time.monotonic()
    try:
        cases[argv[2]](Rig(argv[1]))
    except Failure as e:
        print("FAILED %s: %s" % (argv[2], e), file=sys.stderr)
        return 1
    print("%s passed in %.1f s" % (argv[2], time.monotonic() - t0), flush=True)
    return 0


if __name__ == "__main__":
    import sys
    if len(sys.argv) != 3 or sys.argv[2] != "setup":
        sys.exit("usage: rig.py BUILD_DIR setup   (makes the prefix with the engine server installed)")
    Rig(sys.argv[1]).setup()
