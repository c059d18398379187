#!/usr/bin/env python3
"""Builds the wheels offline from this checkout: a pure one, and with --exe a win_amd64 one
that carries that brisvane.exe. Each build runs on a copy of the package in a fresh folder,
so that neither leaves files here nor sees the other's.

usage: build_wheels.py --out DIR [--exe PATH/brisvane.exe]"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent


def build(out: Path, exe) -> Path:
    with tempfile.TemporaryDirectory(prefix="brisvane-wheel.") as tmp:
        stage = Path(tmp)
        shutil.copytree(HERE, stage / "clients" / "python",
                        ignore=shutil.ignore_patterns("tests", "build", "*.egg-info", "__pycache__"))
        shutil.copyfile(ROOT / "clients" / "error-codes.json", stage / "clients" / "error-codes.json")
        shutil.copyfile(ROOT / "CMakeLists.txt", stage / "CMakeLists.txt")
        env = dict(os.environ, SOURCE_DATE_EPOCH="315532800")
        env.pop("BRISVANE_WHEEL_EXE", None)
        if exe:
            env["BRISVANE_WHEEL_EXE"] = str(Path(exe).resolve())
        source = stage / "clients" / "python"
        before = set(out.glob("*.whl"))
        try:
            import build  # noqa: F401  (Debian's python3-build)
            command = [sys.executable, "-m", "build", "--wheel", "--no-isolation", "--outdir", str(out), str(source)]
        except ImportError:
            command = [sys.executable, "setup.py", "-q", "bdist_wheel", "--dist-dir", str(out)]
        subprocess.run(command, cwd=source, env=env, check=True, stdout=subprocess.DEVNULL)
        made = set(out.glob("*.whl")) - before
        tag = "win_amd64" if exe else "none-any"
        wheels = [w for w in out.glob("*.whl") if w.name.endswith(tag + ".whl")]
        return (made or set(wheels)).pop()


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--exe", type=Path)
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    for exe in [None] + ([args.exe] if args.exe else []):
        print(build(args.out.resolve(), exe))
    return 0


if __name__ == "__main__":
    sys.exit(main())
