"""The memory-saving paths give the numbers of the plain ones: the way back to intensities written
into the denoised array a few rows at a time, the residuals' box sums, and the second stage with
its bright samples replaced in place."""

from __future__ import annotations

import numpy as np
import pytest

import pxvorel.run.unit as unit_module
from pxvorel.noise.model import NoiseModel
from pxvorel.noise.residuals import _box
from pxvorel.run.execute import run_stage
from pxvorel.run.job import prepare
from pxvorel.run.plan import RunPlan
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


def test_the_stage_in_place_equals_the_copying_one_and_leaves_its_inputs_as_they_were() -> None:
    rng = np.random.default_rng(6)
    work = rng.normal(0.0, 1.0, (1, 2, 3, 40, 36)).astype(np.float32)
    denoised = np.zeros_like(work)
    for at in [(0, 0, 1, 10, 12), (0, 0, 1, 10, 13), (0, 1, 2, 30, 5)]:  # bright in both: kept out of the stage
        work[at] = denoised[at] = 40.0
    plan = RunPlan.of(prepare(work[0], axes="CZYX").settings, work.shape)
    copying = run_stage(work, denoised, plan)
    originals = work.copy(), denoised.copy()
    np.testing.assert_array_equal(run_stage(work, denoised, plan, in_place=True), copying)
    np.testing.assert_array_equal(work, originals[0])
    np.testing.assert_array_equal(denoised, originals[1])
    assert copying[0, 0, 1, 10, 12] == 40.0
