"""Paths of the reference cases and real images kept beside the repository, when present."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

SHARED = Path(__file__).resolve().parents[2].parent / "shared"
VECTORS = SHARED / "vectors"
DATA = SHARED / "data"


def load_vector(name: str) -> dict[str, np.ndarray]:
    path = VECTORS / f"{name}.npz"
    if not path.exists():
        pytest.skip(f"reference case {path} is not present")
    with np.load(path) as case:
        return {key: case[key] for key in case.files}
