"""Where the benchmarks take the compiled module from."""
import importlib.util
import os
from pathlib import Path


def module_file():
    """$VARDEX_SO, else the installed module's file, else None."""
    override = os.environ.get("VARDEX_SO")
    if override:
        return Path(override)
    found = importlib.util.find_spec("vardex")
    if found is None or found.origin is None:
        return None
    return Path(found.origin)
