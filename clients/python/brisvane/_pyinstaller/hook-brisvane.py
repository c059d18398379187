"""PyInstaller: brisvane-capture.exe (and the other programs the Windows wheel carries) and the
error table go into the bundle at brisvane/bin and brisvane, where the package looks for them."""
import importlib.util
import os

_package = importlib.util.find_spec("brisvane").submodule_search_locations[0]
_bin = os.path.join(_package, "bin")
binaries = [(os.path.join(_bin, name), os.path.join("brisvane", "bin"))
            for name in sorted(os.listdir(_bin)) if name.endswith(".exe")] if os.path.isdir(_bin) else []
datas = [(os.path.join(_package, name), "brisvane") for name in ("error-codes.json", "py.typed")
         if os.path.isfile(os.path.join(_package, name))]
