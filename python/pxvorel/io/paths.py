"""What kind of image a path names, without importing the readers."""

from __future__ import annotations

import os
from pathlib import Path


def is_zarr(path: str | os.PathLike[str]) -> bool:
    """True for a path named ``*.zarr`` or a folder holding Zarr metadata."""
    path = Path(path)
    markers = ("zarr.json", ".zarray", ".zgroup")
    return path.name.lower().endswith(".zarr") or (path.is_dir() and any((path / m).exists() for m in markers))
