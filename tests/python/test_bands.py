"""Several cores through bands: the one-thread bits, bands that tile the image, stopping."""

from __future__ import annotations

import threading

import numpy as np
import pytest

import pxvorel
from pxvorel.core.axes import AxisPlan
from pxvorel.run import bands as band_plans
from pxvorel.run.bands import plan_bands
from pxvorel.run.halo import Halo
from pxvorel.run.settings import Settings
from scenes import blobs, poisson_gaussian

DEFAULTS = dict(patch_radius=None, search_axes=None, iterations=2, pvalue=0.01, renoise=0.0, threads=None)


@pytest.fixture
def loose_bands(monkeypatch):
    """Bands on small images: overlaps of up to half the work allowed."""
    monkeypatch.setattr(band_plans, "MAX_OVERLAP", 0.5)


def bands_for(shape: tuple[int, ...], axes: str, count: int, **changes: object):
    plan = AxisPlan.for_array(shape, axes)
    engine_shape = plan.to_engine(np.zeros(shape, np.float32)).shape
    settings = Settings.from_arguments(plan, **{**DEFAULTS, **changes})
    return plan_bands(engine_shape, Halo.for_image(settings, engine_shape), count), engine_shape


@pytest.mark.parametrize(
    "axes, shape", [("YX", (160, 70)), ("ZYX", (12, 120, 36)), ("TYX", (7, 120, 40)), ("CYX", (2, 120, 44))]
)
def test_bands_give_the_one_thread_bits(loose_bands, axes, shape) -> None:
    planned, _ = bands_for(shape, axes, 3)
    assert planned is not None and len(planned) == 3
    image = poisson_gaussian(blobs(shape, 12, seed=len(shape)), 2.0, 9.0, seed=5)
    one = pxvorel.denoise(image, axes=axes, iterations=2, threads=1)
    np.testing.assert_array_equal(pxvorel.denoise(image, axes=axes, iterations=2, threads=3), one)


def test_channels_side_by_side_run_as_many_at_a_time_as_threads(monkeypatch) -> None:
    """Each running channel holds the engine's work arrays: more at once than threads would
    multiply the memory of an image of many channels."""
    import time

    import pxvorel.run.execute as engine_module

    running, most = 0, 0
    lock = threading.Lock()
    real = engine_module._engine.denoise

    def counted(*args, **keywords):
        nonlocal running, most
        with lock:
            running += 1
            most = max(most, running)
        try:
            time.sleep(0.02)
            return real(*args, **keywords)
        finally:
            with lock:
                running -= 1

    monkeypatch.setattr(engine_module._engine, "denoise", counted)
    pxvorel.denoise(np.random.default_rng(0).normal(50, 5, (6, 24, 24)), axes="CYX", iterations=1, threads=2)
    assert most == 2


@pytest.mark.parametrize(("threads", "count"), [(2, 4), (3, 3), (2, 3)])
def test_channels_side_by_side_give_the_one_thread_bits(monkeypatch, threads, count) -> None:
    """Whole rounds of channels, one per thread, give the one-thread bits; the channel left over
    (three on two threads) runs on all threads, within the variation allowed between thread
    counts (the order of additions; rarely a flipped consistency test)."""
    import pxvorel.run.execute as engine_module

    shape = (count, 64, 48)
    assert bands_for(shape, "CYX", threads)[0] is None  # not bands: one channel per thread
    image = poisson_gaussian(blobs(shape, 8, seed=3), 2.0, 9.0, seed=6)
    one = pxvorel.denoise(image, axes="CYX", iterations=2, threads=1)
    real, used = engine_module._engine.denoise, []
    monkeypatch.setattr(engine_module._engine, "denoise", lambda *a, **k: used.append(a[6]) or real(*a, **k))
    result = pxvorel.denoise(image, axes="CYX", iterations=2, threads=threads)
    side = count - count % threads
    assert sorted(used) == [1] * side + [threads] * (count - side)
    np.testing.assert_array_equal(result[:side], one[:side])
    difference = np.abs(result.astype(np.float64) - one)[side:]
    scale = np.abs(one).max()
    assert difference.size == 0 or (np.mean(difference > 1e-5 * scale) <= 0.005 and difference.max() <= 0.05 * scale)


@pytest.mark.parametrize("count", [2, 3, 4])
def test_band_cores_tile_the_image_on_the_reference_grid(loose_bands, count) -> None:
    bands, shape = bands_for((9, 600, 40), "ZYX", count, iterations=4, patch_radius=3)
    assert bands is not None and len(bands) == count
    axis = next(i for i, s in enumerate(bands[0].target) if s != slice(None))
    covered = [0]
    for band in bands:
        start, stop = band.target[axis].start, band.target[axis].stop
        lo = band.region[axis].start
        assert start == covered[-1] and lo % 4 == 0  # patch radius 3 in y: grid step 4
        assert band.core[axis] == slice(start - lo, stop - lo)
        covered.append(stop)
    assert covered[-1] == shape[axis]


@pytest.mark.parametrize("shape, count", [((40, 40), 2), ((400, 400), 1)])
def test_no_bands_when_they_do_not_pay(shape, count) -> None:
    assert bands_for(shape, "YX", count, iterations=4)[0] is None


def test_as_many_bands_as_pay(loose_bands) -> None:
    # Reach 31 along y: 4 bands of 50 rows would add 93 %, 3 add 62 %, 2 add 31 %.
    bands, _ = bands_for((200, 40), "YX", 4, iterations=4)
    assert bands is not None and len(bands) == 2


class Stop(Exception):
    pass


def test_a_stop_from_the_callback_ends_every_band(loose_bands) -> None:
    image = blobs((400, 120), 30, seed=2) + np.random.default_rng(1).normal(0, 4, (400, 120)).astype(np.float32)
    assert bands_for(image.shape, "YX", 2, iterations=5)[0] is not None
    out = np.full(image.shape, -1.0, np.float32)

    def stop(fraction: float) -> None:
        if fraction > 0.1:
            raise Stop

    with pytest.raises(Stop):
        pxvorel.denoise(image, noise=4.0, iterations=5, threads=2, out=out, progress=stop)
    assert np.all(out == -1.0)
    assert not [t for t in threading.enumerate() if t.name.startswith("pxvorel-band")]
