"""Chunked denoising of dask arrays: equal to the in-memory result, and the halo rules it rests on."""

from __future__ import annotations

import dataclasses

import dask
import dask.array as da
import numpy as np
import pytest

import pxvorel
from pxvorel import NoiseModel
from pxvorel.core.axes import AxisPlan
from pxvorel.run.chunked import Halo, denoise_blocks, noise_sample, to_engine
from pxvorel.run.refine import Blocks
from pxvorel.run.settings import Settings
from scenes import blobs, moving_blobs, poisson_gaussian

GIVEN = {
    "gaussian": 12.0,
    "two sigmas": NoiseModel.gaussian([12.0, 30.0]),
    "poisson-gaussian": NoiseModel([2.0, 3.0], [16.0, 4.0]),
}


@pytest.fixture(autouse=True)
def threaded_scheduler():
    with dask.config.set(scheduler="threads", num_workers=2):
        yield


def image(shape: tuple[int, ...], seed: int = 0) -> np.ndarray:
    return poisson_gaussian(blobs(shape, 6, seed=seed, low=20.0, high=300.0), 2.0, 16.0, seed=seed + 1)


# Each case has chunks of odd lengths that do not fall on the reference grid (steps 3 in
# X and Y, 2 in Z) nor on the second stage's block positions (every 2 to 4 samples) and,
# except the last along each axis, are at least the reach long, so that the image is cut
# along every axis but C. Reaches: the engine's (X and Y 11 with 2 iterations, 19 with
# 3, 31 with 4; Z 6 and T 6 with 2 iterations, Z 10 and T 9 with 3) plus the stage's
# block less one (X and Y 11 on planes, 15 on stacks and time-lapses; Z 7, T 7), plus 3 in
# X and Y for the samples the run judges by their neighbours.
CASES = {
    "2-D": (image((90, 101)), "YX", (47, 49), 4, GIVEN["gaussian"]),
    "3-D, z search": (image((22, 58, 61)), "ZYX", (15, 31, 33), 2, GIVEN["gaussian"]),
    "time-lapse, t search": (
        poisson_gaussian(moving_blobs(20, 44, 4, seed=2), 2.0, 16.0, seed=3),
        "TYX",
        (17, 35, 37),
        3,
        GIVEN["gaussian"],
    ),
    "two channels of two sigmas": (image((2, 62, 59)), "CYX", (1, 47, 49), 4, GIVEN["two sigmas"]),
    "two channels, stabilised, z and t": (
        image((9, 2, 17, 44, 46)),
        "TCZYX",
        (7, 1, 13, 29, 31),
        2,
        GIVEN["poisson-gaussian"],
    ),
}


SLOW_CASES = {"3-D, z search", "two channels, stabilised, z and t"}


@pytest.mark.parametrize("case", [pytest.param(c, marks=pytest.mark.slow) if c in SLOW_CASES else c for c in CASES])
def test_chunked_equals_in_memory_bit_for_bit(case) -> None:
    noisy, axes, chunks, iterations, noise = CASES[case]
    lazy = da.from_array(noisy, chunks=chunks)
    result, model = pxvorel.denoise(lazy, axes=axes, noise=noise, iterations=iterations, return_noise=True)
    assert isinstance(result, da.Array) and result.chunks == lazy.chunks and result.dtype == np.float32
    blocks = [key for key in result.__dask_graph__() if isinstance(key, tuple) and key[0].startswith("pxvorel-block")]
    assert len(blocks) == np.prod([n for a, n in zip(axes, lazy.numblocks, strict=True) if a != "C"])
    expected = pxvorel.denoise(noisy, axes=axes, noise=noise, iterations=iterations, threads=1)
    np.testing.assert_array_equal(result.compute(), expected)
    given = noise if isinstance(noise, NoiseModel) else NoiseModel.gaussian(noise)
    assert model == given.for_channels(noisy.shape[axes.index("C")] if "C" in axes else 1)


def engine_setup(noisy: np.ndarray, axes: str, chunks: tuple[int, ...], iterations: int, refine: bool):
    plan = AxisPlan.for_array(noisy.shape, axes)
    settings = Settings.from_arguments(
        plan, patch_radius=None, search_axes=None, iterations=iterations, renoise=0.0, threads=1, refine=refine
    )
    engine = to_engine(da.from_array(noisy, chunks=chunks), plan)
    halo = Halo.for_image(settings, engine.shape)
    return engine, settings, halo.widened(Blocks.for_shape(engine.shape)) if refine else halo


def blockwise(
    noisy, axes, chunks, iterations, change=lambda halo: halo, refine: bool = False
) -> tuple[np.ndarray, np.ndarray]:
    """A chunked run through the given halo, and the in-memory result; the engine's halo rules
    are tested without the second stage (its part-equals-whole rule is tested in C++)."""
    engine, settings, halo = engine_setup(noisy, axes, chunks, iterations, refine)
    model = NoiseModel.gaussian(12.0)
    chunked = np.asarray(denoise_blocks(engine, model, settings, change(halo))).reshape(noisy.shape)
    return chunked, pxvorel.denoise(noisy, axes=axes, noise=model, iterations=iterations, threads=1, refine=refine)


def test_single_slice_chunks_still_see_the_stacks_z_grid() -> None:
    # 12 slices with a z patch radius of 1 have a z grid step of 2; a block of 5 slices or
    # fewer would use step 1, so blocks are made at least 6 slices deep.
    chunked, expected = blockwise(image((12, 30, 31)), "ZYX", (1, 30, 31), 1)
    np.testing.assert_array_equal(chunked, expected)


@pytest.mark.parametrize(
    ("name", "noisy", "axes", "chunks", "iterations", "change", "least_difference"),
    [
        (
            "halo half the reach",
            image((90, 101)),
            "YX",
            (37, 41),
            4,
            lambda h: dataclasses.replace(h, reach={a: r // 2 for a, r in h.reach.items()}),
            1e-3,
        ),
        (
            "z halo one short",
            image((22, 58, 61)),
            "ZYX",
            (11, 58, 61),
            3,
            lambda h: dataclasses.replace(h, reach={**h.reach, "Z": h.reach["Z"] - 1}),
            1e-4,
        ),
        (
            "halo off the grid",
            image((90, 101)),
            "YX",
            (37, 41),
            4,
            lambda h: dataclasses.replace(h, step=dict.fromkeys(h.step, 1)),
            0.5,
        ),
        (
            "blocks too shallow for the z grid",
            image((12, 30, 31)),
            "ZYX",
            (1, 30, 31),
            1,
            lambda h: dataclasses.replace(h, least=dict.fromkeys(h.least, 1)),
            0.5,
        ),
    ],
)
def test_a_halo_short_of_the_reach_or_off_the_grid_differs(
    name, noisy, axes, chunks, iterations, change, least_difference
) -> None:
    chunked, expected = blockwise(noisy, axes, chunks, iterations, change)
    assert np.abs(chunked - expected).max() > least_difference


def test_the_noise_model_is_estimated_once_from_the_whole_array_or_a_bounded_sample() -> None:
    noisy = image((40, 48, 52), seed=4)
    lazy = da.from_array(noisy, chunks=(9, 25, 27))
    for mode in ("auto", "gaussian"):
        _, model = pxvorel.denoise(lazy, noise=mode, iterations=1, return_noise=True)
        assert model == pxvorel.denoise(noisy, noise=mode, iterations=1, return_noise=True)[1]
    engine = to_engine(lazy, AxisPlan.for_array(noisy.shape, None))
    whole = pxvorel.estimate_noise(noisy)
    # Two slabs of 16 whole planes: the first starts at the top, the last ends at the bottom.
    sample = noise_sample(engine, budget=33 * 48 * 52)
    assert sample.shape == (1, 1, 32, 48, 52)
    np.testing.assert_array_equal(sample[0, 0], np.concatenate([noisy[:16], noisy[-16:]]))
    # Room for fewer planes: one slab from the middle.
    np.testing.assert_array_equal(noise_sample(engine, budget=10 * 48 * 52)[0, 0], noisy[15:25])
    median = float(np.median(noisy))
    for planes in (10, 33):
        fitted = pxvorel.estimate_noise(noise_sample(engine, budget=planes * 48 * 52)[0, 0], axes="ZYX")
        assert fitted.std(median) == pytest.approx(whole.std(median), rel=0.05)


def test_dask_input_is_checked_and_out_is_refused() -> None:
    bad = np.ones((20, 20), np.float32)
    bad[3, 4] = np.nan
    with pytest.raises(ValueError, match="NaN"):
        pxvorel.denoise(da.from_array(bad, chunks=10), noise=1.0).compute()
    with pytest.raises(ValueError, match="out"):
        pxvorel.denoise(da.zeros((20, 20), chunks=10), noise=1.0, out=np.zeros((20, 20), np.float32))
    with pytest.raises(ValueError, match="axes"):
        pxvorel.denoise(da.zeros((20, 20), chunks=10), axes="ZYX", noise=1.0)
