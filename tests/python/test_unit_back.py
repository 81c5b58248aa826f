"""The way back to intensities written into the denoised array, a few rows at a time, and the
residuals' box sums: the same numbers as the copying, whole-plane computation."""

from __future__ import annotations

import numpy as np
import pytest

import pxvorel.run.unit as unit_module
from pxvorel.noise.model import NoiseModel
from pxvorel.noise.residuals import _box
from pxvorel.run.unit import UnitImage

MODELS = {
    "closed form": NoiseModel((2.0, 0.5), (9.0, 4.0)),
    "table": NoiseModel((2.0, 0.5), (9.0, 4.0), floor=(30.0, 0.0), low=(0.0, 0.0)),
}


@pytest.mark.parametrize("model", MODELS.values(), ids=MODELS.keys())
def test_back_in_place_and_in_row_slabs_equals_the_copy(monkeypatch, model: NoiseModel) -> None:
    rng = np.random.default_rng(3)
    engine = rng.poisson(40.0, (2, 2, 3, 20, 17)).astype(np.uint16)
    unit = UnitImage.of(engine, model)
    denoised = (unit.work + rng.normal(0.0, 0.3, unit.work.shape)).astype(np.float32)
    monkeypatch.setattr(unit_module, "SLAB_SAMPLES", 1 << 30)  # every plane at once
    whole = unit.back(denoised.copy())
    monkeypatch.setattr(unit_module, "SLAB_SAMPLES", 3 * 17 + 5)  # three rows of a plane at a time
    reused = denoised.copy()
    result = unit.back(reused, reuse=True)
    assert result is reused
    np.testing.assert_array_equal(result, whole)


def test_back_copies_where_a_channel_is_left_out() -> None:
    engine = np.random.default_rng(4).poisson(40.0, (1, 2, 1, 16, 16)).astype(np.uint16)
    unit = UnitImage.of(engine, NoiseModel((2.0, 0.0), (9.0, 0.0)))  # channel 1 has no noise
    denoised = unit.work.copy()
    result = unit.back(denoised, reuse=True)
    assert result is not denoised and result.shape == engine.shape
    np.testing.assert_array_equal(result[:, 1], engine[:, 1])


@pytest.mark.parametrize("axis", [0, 1, 2])
@pytest.mark.parametrize("dtype", [np.uint16, np.float64])
def test_box_sums_are_the_windows_sums(axis: int, dtype: type) -> None:
    data = np.random.default_rng(5).integers(0, 4000, (6, 9, 7)).astype(dtype)
    windows = np.lib.stride_tricks.sliding_window_view(data.astype(np.float64), 5, axis=axis)
    np.testing.assert_array_equal(_box(data, 5, axis), windows.sum(axis=-1))
