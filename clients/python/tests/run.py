#!/usr/bin/python3
"""The Python package's tests: the fast ones from the source tree (the shared behaviour cases and
the package's own), then the wheels built as the release builds them, the pure one installed
with --no-index into a fresh virtual environment, and that installation against the real
brisvane-capture.exe under Wine.
usage: clients/python/tests/run.py [--fast]   (the Windows build in build/windows is made if missing)"""
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
PACKAGE = HERE.parent
ROOT = PACKAGE.parent.parent
BUILD = ROOT / "build" / "windows"
WORK = ROOT / "build" / "python"


def run(*command, **options):
    print("+ " + " ".join(map(str, command)), flush=True)
    subprocess.run([str(c) for c in command], check=True, stdin=subprocess.DEVNULL, **options)


def main():
    env = dict(os.environ, PYTHONPATH=str(PACKAGE), PYTHONDONTWRITEBYTECODE="1")
    run(sys.executable, "-m", "unittest", "test_cases", "test_capture", cwd=HERE, env=env)
    if "--fast" in sys.argv:
        return 0
    wanted = ("src/brisvane.exe", "src/brisvane-watch.exe", "src/brisvane-capture.exe",
              "tools/sim/launcher/launcher.exe")
    if not all((BUILD / path).exists() for path in wanted):
        run("cmake", "--preset", "windows", cwd=ROOT, stdout=subprocess.DEVNULL)
        run("cmake", "--build", "--preset", "windows", "-j2", "--target", "brisvane", "brisvane-watch",
            "brisvane-capture", "brisvane_engine_server", "brisvane_launcher", cwd=ROOT, stdout=subprocess.DEVNULL)
    shutil.rmtree(WORK, ignore_errors=True)
    exe = BUILD / "src" / "brisvane.exe"
    run(sys.executable, PACKAGE / "build_wheels.py", "--out", WORK / "dist", "--exe", exe)
    [windows] = (WORK / "dist").glob("*-py3-none-win_amd64.whl")
    [pure] = (WORK / "dist").glob("*-py3-none-any.whl")
    with zipfile.ZipFile(windows) as w, zipfile.ZipFile(pure) as p:
        for name in ("brisvane.exe", "brisvane-watch.exe", "brisvane-capture.exe"):
            assert w.read("brisvane/bin/" + name) == exe.with_name(name).read_bytes(), "the Windows wheel's " + name
        assert w.read("brisvane/error-codes.json") == (ROOT / "clients" / "error-codes.json").read_bytes()
        assert not [n for n in p.namelist() if n.endswith(".exe")], "the pure wheel carries a program"
        assert set(p.namelist()) == {n for n in w.namelist() if not n.endswith(".exe")} - {
            n for n in w.namelist() if n.endswith(("RECORD", "WHEEL"))} | {n for n in p.namelist()
                                                                         if n.endswith(("RECORD", "WHEEL"))}
        w.extractall(WORK / "win")
    # PyInstaller's hook, found through the entry point as PyInstaller finds it, bundles the programs.
    hook = ("from importlib.metadata import entry_points; import runpy, sys; sys.path[:0] = [sys.argv[1]];"
            "[hook] = [e for e in entry_points(group='pyinstaller40') if e.dist.name == 'brisvane'];"
            "found = runpy.run_path(hook.load()()[0] + '/hook-brisvane.py');"
            "print(sorted(b.replace(sys.argv[1], '') + ' ' + d for b, d in found['binaries'] + found['datas']))")
    listed = subprocess.run([sys.executable, "-I", "-c", hook, str(WORK / "win")], check=True, capture_output=True,
                            text=True).stdout
    assert listed == str(["/brisvane/%s brisvane%s" % (name, "/bin" if name.endswith(".exe") else "") for name in
                          ("bin/brisvane-capture.exe", "bin/brisvane-watch.exe", "bin/brisvane.exe",
                           "error-codes.json", "py.typed")]) + "\n", listed
    venv = WORK / "venv"
    run(sys.executable, "-m", "venv", "--system-site-packages", venv)  # NumPy, when the system has it
    run(venv / "bin" / "python", "-m", "pip", "install", "-q", "--no-index", "--no-deps", pure)
    if not (BUILD / "e2e" / "wineprefix" / "system.reg").exists():
        sys.path.insert(0, str(ROOT / "tools" / "sim"))
        from rig import Rig
        Rig(str(BUILD)).setup()
    run(venv / "bin" / "python", HERE / "test_wine.py", BUILD, cwd=WORK,
        env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1", WINEDEBUG="-all"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
