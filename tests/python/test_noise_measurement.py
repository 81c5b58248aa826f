"""One measurement per channel: defective pixels, saturation and the fit figure."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

import pxvorel
import pxvorel.noise.channel_choice as choice_module
from pxvorel.noise.blocks import NOISE_SCATTER, noise_profile
from pxvorel.noise.measurement import measure_channel
from scenes import blobs, photon_counts, poisson_gaussian

#: Hot pixels on a grid of 8 pixels (one in 64, a poor camera's share), a dead one and a flickering one.
HOT = [(y, x) for y in range(4, 124, 8) for x in range(6, 124, 8)]
DEAD, FLICKER = [(40, 101)], [(88, 18)]


def planted(frames: int, seed: int = 1) -> tuple[np.ndarray, np.ndarray]:
    """A (T, Y, X) Poisson-Gaussian series with hot, dead and (every third frame) flickering
    pixels, and the same series without them."""
    clean = blobs((frames, 128, 128), 8, seed=seed, low=100.0, high=1500.0)
    noisy = poisson_gaussian(clean, 2.0, 25.0, seed=seed)
    broken = noisy.copy()
    heat = np.random.default_rng(seed).uniform(800.0, 3000.0, len(HOT))
    for (y, x), extra in zip(HOT, heat, strict=True):
        broken[:, y, x] += extra
    for y, x in DEAD:
        broken[:, y, x] = 0.0
    for y, x in FLICKER:
        broken[::3, y, x] += 2500.0
    return broken, noisy


def found(positions: np.ndarray) -> set[tuple[int, int]]:
    return {(int(y), int(x)) for y, x in positions}


def test_defects_of_a_series_are_found_by_kind_and_kept_out_of_the_model() -> None:
    broken, clean = planted(12)
    defects = measure_channel(broken[:, None]).defects
    assert found(defects.hot) == set(HOT) and found(defects.dead) == set(DEAD)
    assert found(defects.flickering) == set(FLICKER)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        model, truth = pxvorel.estimate_noise(broken, axes="TYX"), pxvorel.estimate_noise(clean, axes="TYX")
    assert f"{len(HOT)} hot, 1 dead, 1 flickering pixels left out of the measurement and repaired" in model.reason(0)
    for level in (150.0, 600.0, 1200.0):
        assert model.std(level) == pytest.approx(truth.std(level), rel=0.05)


@pytest.mark.parametrize(
    ("image", "expected"),
    [
        ("hot pixels in one plane", set(HOT[::10])),
        ("sparse photon counts", set()),  # a heavy tail of single photons, not defects
        ("plain noise", set()),
    ],
)
def test_defects_in_a_single_plane_only_stand_apart_from_the_noise(image: str, expected: set[tuple[int, int]]) -> None:
    if image == "sparse photon counts":
        plane = photon_counts(np.broadcast_to(np.linspace(0.05, 1.5, 256), (256, 256)), 40.0, seed=7)
    else:
        broken, plane = (frame[0] for frame in planted(1))
        if image == "hot pixels in one plane":  # a camera's usual share of them, one in 800
            for y, x in HOT[::10]:
                plane[y, x] = broken[y, x]
    defects = measure_channel(plane[None, None]).defects
    assert found(defects.positions()) == expected


def saturated_image() -> np.ndarray:
    """12-bit blobs whose cores saturate at 4095, with Poisson-Gaussian noise."""
    clean = blobs((160, 160), 6, seed=4, low=200.0, high=9000.0)
    return np.clip(np.round(poisson_gaussian(clean, 1.5, 16.0, seed=5)), 0, 4095).astype(np.uint16)


def test_saturated_structures_stay_saturated_and_nothing_exceeds_the_ceiling() -> None:
    noisy = saturated_image()
    result, model = pxvorel.denoise(noisy, return_noise=True, threads=1)
    assert model.saturation[0] == 4095.0 and "4095" in model.describe_channel(0)
    assert result.max() <= 4095.0
    at = noisy == 4095
    interior = at.copy()
    interior[1:-1, 1:-1] &= at[:-2, 1:-1] & at[2:, 1:-1] & at[1:-1, :-2] & at[1:-1, 2:]
    assert interior.sum() > 100 and np.all(result[interior] == 4095.0)


def test_below_its_ceiling_an_image_is_denoised_as_before() -> None:
    """An image that reaches no ceiling has no saturation and its result is not clamped."""
    noisy = np.clip(saturated_image(), 0, 4000)
    result, model = pxvorel.denoise(noisy, return_noise=True, threads=1)
    assert model.saturation[0] == np.inf and result.max() > 4000.0


@pytest.mark.parametrize(("noise", "fits"), [("auto", True), ("gaussian", False)])
def test_the_reason_carries_the_fit_figure(noise: str, fits: bool) -> None:
    clean = np.linspace(50.0, 2000.0, 192)[None, :] * np.ones((192, 1))
    noisy = poisson_gaussian(clean, 2.0, 25.0, seed=3)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # Gaussian noise asked for: no warning, the reason says it
        model = pxvorel.estimate_noise(noisy, noise=noise)  # type: ignore[arg-type]
    figure = model.fit[0]
    assert figure is not None and model.fits(0) == fits and "fit: model sd within 20 %" in model.reason(0)
    assert ("does not fit" in model.reason(0)) != fits
    assert (figure.share >= 0.9) == fits


def test_blocks_of_pure_noise_scatter_as_the_constant_says() -> None:
    noise = np.random.default_rng(0).normal(100.0, 5.0, (1, 1, 512, 512))
    _, ratios = noise_profile(noise).scatter()
    assert np.median(ratios) == pytest.approx(NOISE_SCATTER, rel=0.05)


def test_a_measured_curve_follows_noise_that_rises_faster_than_shot_noise(monkeypatch) -> None:
    """Noise whose variance grows with the square of the intensity (a detector's excess noise)
    above a flat dark end: a curve capped at the linear rise from the dark end to the median
    reads half the noise at the bright end."""
    monkeypatch.setattr(choice_module, "fit_line", lambda profile: None)  # a curve, whatever the noise
    clean = np.linspace(100.0, 1000.0, 256)[None, :] * np.ones((256, 1))
    sd = 2.0 + (clean / 40.0) ** 2 / 10.0
    noisy = clean + np.random.default_rng(2).normal(0.0, 1.0, clean.shape) * sd
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        model = pxvorel.estimate_noise(noisy)
    assert model.kind(0) == "curve"
    for level in (300.0, 600.0, 900.0):
        assert model.std(level) == pytest.approx(2.0 + (level / 40.0) ** 2 / 10.0, rel=0.15)


@pytest.mark.parametrize("frames", [1, 12])
def test_defects_are_repaired_before_denoising_without_a_ring(frames: int) -> None:
    """Kept, a hot pixel stays hot in the result (its error 1900) and the error of the
    pixels around it rises by 15 % to 70 %; repaired, both are those of an image without it."""
    broken, plain = planted(frames)
    hot = HOT if frames > 1 else HOT[::10]
    if frames == 1:  # one plane: a camera's usual share of hot pixels
        broken = plain.copy()
        for y, x in hot:
            broken[0, y, x] += 2000.0
    truth = blobs(broken.shape, 8, seed=1, low=100.0, high=1500.0)
    axes = "TYX" if frames > 1 else "YX"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        result, model = pxvorel.denoise(broken.squeeze(), axes=axes, return_noise=True, threads=1)
        reference = pxvorel.denoise(plain.squeeze(), axes=axes, noise=model, threads=1)
    defects = model.defects[0]
    assert defects is not None and set(hot) <= set(defects.hot)
    ring = np.zeros(broken.shape[1:], bool)
    for y, x in hot:
        ring[y - 2 : y + 3, x - 2 : x + 3] = True
    error, baseline = (np.abs(r.reshape(broken.shape) - truth)[:, ring] for r in (result, reference))
    assert error.max() < 2 * baseline.max()
    assert np.sqrt(np.mean(error**2)) == pytest.approx(np.sqrt(np.mean(baseline**2)), rel=0.1)
