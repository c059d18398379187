"""PyInstaller finds brisvane's hook here, through the `pyinstaller40` entry point."""
import os
from typing import List


def get_hook_dirs() -> List[str]:
    return [os.path.dirname(__file__)]
