"""Builds the brisvane wheel. The version comes from the project's CMakeLists.txt and the error
table from clients/error-codes.json, both copied in by the build. With BRISVANE_WHEEL_EXE set
to a brisvane.exe, the wheel carries it (and brisvane-watch.exe and brisvane-capture.exe, which lie beside it) and is
tagged win_amd64; without, it is a pure wheel for other systems. build_wheels.py makes both.
PyInstaller finds the hook that bundles the programs through the `pyinstaller40` entry point."""
import os
import re
import shutil
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
EXE = os.environ.get("BRISVANE_WHEEL_EXE")
VERSION = re.search(r"project\(brisvane VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text()).group(1)


class BuildPy(build_py):
    def run(self):
        super().run()
        package = Path(self.build_lib) / "brisvane"
        shutil.copyfile(ROOT / "clients" / "error-codes.json", package / "error-codes.json")
        (package / "_version.py").write_text('"""The package\'s version, written by its build."""\n'
                                             '__version__ = "%s"\n' % VERSION)
        if EXE:
            (package / "bin").mkdir(exist_ok=True)
            for name in ("brisvane.exe", "brisvane-watch.exe", "brisvane-capture.exe"):
                source = Path(EXE).parent / name if name != "brisvane.exe" else Path(EXE)
                if source.is_file():
                    shutil.copyfile(source, package / "bin" / name)


class BinaryDistribution(Distribution):
    """With the program inside, the wheel is for one platform; its files install as plain
    package files all the same."""

    def has_ext_modules(self):
        return bool(EXE)


commands = {"build_py": BuildPy}
try:
    from wheel.bdist_wheel import bdist_wheel

    class BdistWheel(bdist_wheel):
        def finalize_options(self):
            super().finalize_options()
            self.root_is_pure = not EXE

        def get_tag(self):
            return ("py3", "none", "win_amd64") if EXE else super().get_tag()

    commands["bdist_wheel"] = BdistWheel
except ImportError:
    pass

setup(
    name="brisvane",
    version=VERSION,
    description="Record what a Windows computer plays (WASAPI loopback) as frames of PCM, "
                "in the format speech engines want",
    long_description=(HERE / "README.md").read_text(encoding="utf-8"),
    long_description_content_type="text/markdown",
    license="MIT",
    python_requires=">=3.9",
    packages=["brisvane", "brisvane._pyinstaller"],
    package_data={"brisvane": ["py.typed"]},
    extras_require={"numpy": ["numpy"]},
    entry_points={"pyinstaller40": ["hook-dirs = brisvane._pyinstaller:get_hook_dirs"]},
    classifiers=["Programming Language :: Python :: 3", "Operating System :: Microsoft :: Windows",
                 "Topic :: Multimedia :: Sound/Audio :: Capture/Recording"],
    cmdclass=commands,
    distclass=BinaryDistribution,
)
