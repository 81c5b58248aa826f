"""Fixtures shared by the Python tests: the real images and reference cases beside the
repository, each test skipped where the file it needs is absent."""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path

import numpy as np
import pytest

from shared_data import DATA, VECTORS


@pytest.fixture(scope="session")
def real_image() -> Callable[[str], Path]:
    """The path of a real image of the shared data folder by file name; the test is skipped
    when the file is absent."""

    def path(name: str) -> Path:
        found = DATA / name
        if not found.is_file():
            pytest.skip(f"real image {found} is not present")
        return found

    return path


@pytest.fixture(scope="session")
def reference_case() -> Callable[[str], dict[str, np.ndarray]]:
    """The arrays of a reference case by name; the test is skipped when the case is absent."""

    def load(name: str) -> dict[str, np.ndarray]:
        path = VECTORS / f"{name}.npz"
        if not path.is_file():
            pytest.skip(f"reference case {path} is not present")
        with np.load(path) as case:
            return {key: case[key] for key in case.files}

    return load
