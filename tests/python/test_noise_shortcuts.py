"""The noise measurement's faster paths give exactly what the plain computations give:
radix orders, all-bins statistics, medians read off an order, looked-up transforms, threads."""

from __future__ import annotations

import warnings

import numpy as np
import pytest
import tifffile

from pxvorel.core.axes import AxisPlan
from pxvorel.noise.choose import choose_model
from pxvorel.noise.defects import _extremes
from pxvorel.noise.ordering import (
    bin_medians,
    bin_percentiles,
    sorted_quotients,
    stable_order,
    whole_keys,
)
from pxvorel.noise.residuals import clipped_variance
from pxvorel.noise.whole_numbers import tabulated
from scenes import blobs, poisson_gaussian

RNG = np.random.default_rng(3)


@pytest.mark.parametrize(
    "values",
    [
        RNG.integers(0, 6000, 50_000) / 25.0,  # one radix pass
        RNG.integers(-300_000, 3_000_000, 50_000) / 25.0,  # two passes
        RNG.normal(0.0, 1.0, 50_000),  # not whole numbers over 25: the comparison sort
        np.full(1000, 4.0 / 25.0),  # all tied
    ],
    ids=["narrow", "wide", "fractions", "ties"],
)
def test_stable_order_is_numpys(values: np.ndarray) -> None:
    assert np.array_equal(stable_order(values, 25.0), np.argsort(values, kind="stable"))


@pytest.mark.parametrize("count", [7, 640, 1001, 5003])
def test_bin_statistics_are_those_of_each_bin(count: int) -> None:
    values = np.round(RNG.normal(50.0, 9.0, count), 1)
    for bins in {1, min(4, count), min(48, count // 3)}:
        parts = np.array_split(values, bins)
        assert np.array_equal(bin_medians(values, bins), [np.median(p) for p in parts])
        quartiles = np.array([np.percentile(p, [25.0, 75.0]) for p in parts]).T
        assert np.array_equal(bin_percentiles(values, bins, [25.0, 75.0]), quartiles)


@pytest.mark.parametrize("tail", [0.0, 0.3], ids=["normal", "sparse photons"])
def test_clipping_on_an_order_is_the_plain_clipping(tail: float) -> None:
    divisor = float(np.sqrt(20.0))
    whole = np.round(RNG.normal(0.0, 12.0, 20_000) + (RNG.random(20_000) < tail) * RNG.exponential(200.0, 20_000))
    residual = whole / divisor
    keys = whole_keys(residual, divisor)
    assert keys is not None
    ordered = sorted_quotients(keys, divisor)
    assert np.array_equal(ordered, np.sort(residual))
    assert clipped_variance(residual, ordered=ordered) == clipped_variance(residual)


def test_a_transform_looked_up_per_value_is_the_transform() -> None:
    def transform(values: np.ndarray) -> np.ndarray:
        return np.sqrt(np.asarray(values, dtype=np.float64) + 0.375)

    counts = RNG.integers(0, 4096, (8, 64, 64)).astype(np.uint16)
    lookup = tabulated(transform, counts)
    assert lookup is not transform
    assert np.array_equal(lookup(counts[3:5]), transform(counts[3:5]))
    assert tabulated(transform, counts + 0.5) is transform  # not whole numbers


def test_neighbour_extremes_are_those_of_the_eight_neighbours() -> None:
    planes = RNG.integers(0, 255, (2, 9, 11)).astype(np.uint8)
    views = [planes[:, 1 + dy : 8 + dy, 1 + dx : 10 + dx] for dy in (-1, 0, 1) for dx in (-1, 0, 1) if dy or dx]
    lowest, highest = _extremes(planes)
    assert np.array_equal(lowest, np.min(views, axis=0)) and np.array_equal(highest, np.max(views, axis=0))


def _same(a: object, b: object) -> bool:
    return a == b and a.reasons == b.reasons and a.fit == b.fit  # type: ignore[attr-defined]


def test_threads_give_the_model_of_one_thread(real_image) -> None:  # type: ignore[no-untyped-def]
    """Several channels (side by side), one with hot pixels (its blocks measured again once
    they are repaired), and a real camera image whose noise correlates."""
    clean = np.stack([blobs((96, 96), 6, seed=s, low=80.0, high=900.0) for s in range(3)])
    noisy = poisson_gaussian(clean, 2.0, 25.0, seed=4)
    noisy[1, 20:80:15, 30] += 3000.0
    camera = tifffile.imread(real_image("pair_fmd_widefield_bpae_mito_raw_u8.tif"))[:256, :256]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        for image, axes in ((noisy, "CYX"), (noisy[1], "YX"), (camera, "YX")):
            engine = AxisPlan.for_array(image.shape, axes).to_engine(image)
            one, two = (choose_model(engine, "auto", stacklevel=1, threads=n) for n in (1, 2))
            assert _same(one, two)
    assert one.correlated(0)
