"""The package's version: written by the wheel's build from the project's one version; a
source checkout reads it from there."""
import re
from pathlib import Path


def _from_checkout() -> str:
    cmake = Path(__file__).resolve().parents[3] / "CMakeLists.txt"
    try:
        match = re.search(r"project\(brisvane VERSION ([0-9.]+)", cmake.read_text())
    except OSError:
        match = None
    return match.group(1) if match else "0+unknown"


__version__ = _from_checkout()
