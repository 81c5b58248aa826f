"""The reference cases and real images kept beside the repository (``../shared``), when present.

Tests reach them through the fixtures of conftest.py, which skip when a file is absent; the
list of real images is here for tests parametrised over it.
"""

from __future__ import annotations

from pathlib import Path

SHARED = Path(__file__).resolve().parents[2].parent / "shared"
VECTORS = SHARED / "vectors"
DATA = SHARED / "data"

#: Every real TIFF image, empty when the folder is absent.
REAL_IMAGES = sorted(DATA.glob("*.tif")) if DATA.is_dir() else []
