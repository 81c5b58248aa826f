"""The engine's kernel on every instruction set this processor runs gives the same bits, chosen
through ``_engine.kernel_path`` (what the speed benchmarks use to measure each path)."""

from __future__ import annotations

from collections.abc import Iterator

import numpy as np
import pytest

import pxvorel._engine as _engine

PATHS = ("avx512", "avx2", "portable")


@pytest.fixture
def restore_path() -> Iterator[str]:
    widest = _engine.kernel_path()
    yield widest
    _engine.kernel_path(widest)


# A stack and a time-lapse whose search rows run from 3 neighbours (runs of 16 then span six
# rows of the window) to more than 16, at patch radii 1 to 3 (the compile-time widths).
@pytest.mark.parametrize(
    ("shape", "radius", "axes"),
    [
        ((1, 1, 6, 40, 37), [1, 1, 1, 0, 0], [1, 1, 1, 0, 0]),
        ((5, 1, 1, 33, 45), [2, 2, 0, 0, 1], [1, 1, 0, 0, 1]),
        ((1, 1, 3, 29, 50), [3, 2, 1, 0, 0], [1, 1, 1, 0, 0]),
    ],
)
def test_every_path_gives_the_same_bits(restore_path, shape, radius, axes) -> None:
    image = np.random.default_rng(3).normal(50.0, 8.0, shape).astype(np.float32)
    results = {}
    for path in PATHS:
        try:
            assert _engine.kernel_path(path) == path
        except ValueError:
            continue  # this processor cannot run it
        results[path] = _engine.denoise(image, 8.0, radius, axes, 4, 0.05, 1, 0.0)
    assert "portable" in results and len(results) >= 2
    for path, result in results.items():
        assert np.array_equal(result.view(np.uint32), results["portable"].view(np.uint32)), path


def test_an_unknown_path_is_refused(restore_path) -> None:
    with pytest.raises(ValueError, match="sse9"):
        _engine.kernel_path("sse9")
    assert _engine.kernel_path() == restore_path
