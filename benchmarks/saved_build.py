"""A saved build of the native module ``_px`` (tools/build_baseline.sh), loaded beside the installed one."""

from __future__ import annotations

import importlib.util
from pathlib import Path
from types import ModuleType

ROOT = Path(__file__).resolve().parents[1]


def default_path() -> Path | None:
    """build/baseline/_px*.so when tools/build_baseline.sh has made one."""
    return next(iter(sorted((ROOT / "build" / "baseline").glob("_px*.so"))), None)


def load(path: Path) -> ModuleType:
    """Import the module in the file at path under a name of its own."""
    spec = importlib.util.spec_from_file_location("baseline._px", path)
    if spec is None or spec.loader is None:
        raise SystemExit(f"cannot load {path}")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
