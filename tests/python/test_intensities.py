"""Denoising keeps what scientists measure: dark and mean intensities, low-light means, units."""

from __future__ import annotations

import warnings

import numpy as np
import pytest
from scipy import ndimage

import pxvorel
from pxvorel import NoiseModel
from pxvorel.core.axes import AxisPlan
from pxvorel.noise.stabilise import ChannelTransform
from scenes import blobs

# Images on which dark pixels were lifted to a floor, or the mean moved by several noise
# standard deviations; one iteration is enough to show it and keeps the test short.
LIFTED = [
    "2dc_hela_dna_tubulin_actin_3ch_u16.tif",
    "3d_golgi_bfa_u16.tif",
    "3dc_spots_2ch_u16.tif",
    "pair_mito_confocal_highsnr_u8.tif",
    "pair_mito_confocal_lowsnr_u8.tif",
    "2d_er_exit_sites_noisy_u16.tif",
]


def haar_noise(planes: np.ndarray, choose: np.ndarray) -> float:
    """Noise sd from diagonal 2 x 2 Haar details of the cells whose corner `choose` marks:
    robust (the median absolute deviation), unless more than 3 % of the details lie beyond
    3.5 such sd (sparse, heavy-tailed noise such as the Golgi stack's dark tenth, mostly 0
    with single bright pixels: MAD 0.74 against 3.3 in all), where the plain sd."""
    p = planes[:, : planes.shape[1] // 2 * 2, : planes.shape[2] // 2 * 2]
    detail = (p[:, 0::2, 0::2] - p[:, 0::2, 1::2] - p[:, 1::2, 0::2] + p[:, 1::2, 1::2]) / 2
    v = detail[choose[:, : p.shape[1] : 2, : p.shape[2] : 2]]
    mad = 1.4826 * float(np.median(np.abs(v - np.median(v))))
    if mad > 0 and np.mean(np.abs(v - np.median(v)) > 3.5 * mad) <= 0.03:
        return mad
    return float(np.sqrt(np.mean((v - v.mean()) ** 2))) if mad > 0 else float(np.sqrt(np.mean(v * v)))


@pytest.mark.slow
@pytest.mark.parametrize("name", LIFTED)
def test_dark_and_mean_intensities_stay_on_real_images(real_image, name: str) -> None:
    image = pxvorel.read_image(real_image(name))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # a fallback to Gaussian noise is allowed
        result = pxvorel.denoise(image.data, axes=image.axes, iterations=1)
    plan = AxisPlan.for_array(image.data.shape, image.axes)
    t, channels, z, y, x = plan.engine_shape
    for c in range(channels):
        noisy = plan.to_engine(image.data)[:, c].reshape(t * z, y, x).astype(np.float64)
        clean = plan.to_engine(result)[:, c].reshape(t * z, y, x).astype(np.float64)
        # The darkest tenth by a wide blur: a narrow one picks the samples that the noise itself
        # made dark (in a sparse background, the ones without a photon), which any smoothing lifts.
        wide = ndimage.gaussian_filter(noisy, sigma=(0, 8, 8))
        dark = wide <= np.percentile(wide, 10)
        sd_dark = haar_noise(noisy, dark)
        sd_all = haar_noise(noisy, np.ones_like(dark))
        # Where the dark tenth is clipped flat (no noise to measure), a hundredth of the image's noise.
        assert abs(clean[dark].mean() - noisy[dark].mean()) <= max(0.2 * sd_dark, 0.01 * sd_all), (
            f"channel {c}: dark tenth moved"
        )
        assert abs(clean.mean() - noisy.mean()) <= 0.1 * sd_all, f"channel {c}: mean moved"
        blurred = ndimage.gaussian_filter(noisy, sigma=(0, 2, 2))
        assert np.percentile(clean, 0.1) <= np.percentile(blurred, 0.1) + 0.5 * sd_dark, f"channel {c}: floor"


@pytest.mark.parametrize("photons", [0.1, 0.25, 0.5, 1.0, 2.0, 8.0])
def test_flat_poisson_fields_keep_their_mean_at_low_light(photons: float) -> None:
    counts = np.random.default_rng(int(photons * 100)).poisson(photons, (8, 96, 96)).astype(np.float32)
    denoised = pxvorel.denoise(counts, axes="TYX", noise=NoiseModel([1.0], [0.0]), threads=1)
    tolerance = 0.01 if photons >= 0.5 else 0.03
    assert denoised.mean() == pytest.approx(counts.mean(), rel=tolerance)


@pytest.mark.parametrize(("gain", "offset"), [(1.0, 0.0), (2.0, -184.0), (50.0, 400.0)])
def test_stabilising_transform_gives_unit_noise_and_no_floor(gain: float, offset: float) -> None:
    transform = ChannelTransform.for_channel(gain, offset)
    rng = np.random.default_rng(2)
    for photons in (5.0, 50.0, 500.0):
        level = gain * photons - offset / gain  # intensity with variance gain * level + offset
        counts = (
            gain * rng.poisson(photons, 200_000)
            + rng.normal(0, 1, 200_000) * np.sqrt(max(gain * level + offset - gain * gain * photons, 0.0))
            + (level - gain * photons)
        )
        assert np.std(transform.forward(counts)) == pytest.approx(1.0, rel=0.08)
    dark = np.linspace(transform.knee - 100 * gain, transform.knee + 10 * gain, 1001)
    back = transform.inverse(transform.forward(dark))
    assert np.all(np.diff(transform.forward(dark)) > 0) and np.all(np.diff(back) > 0)


def scaled_error(image: np.ndarray, noise: float | NoiseModel, scale: float, renoise: float) -> float:
    """Largest difference of denoise(k x, k noise) from k denoise(x, noise), relative to the largest value."""
    if isinstance(noise, NoiseModel):
        scaled_noise: float | NoiseModel = NoiseModel(
            [g * scale for g in noise.gain], [o * scale * scale for o in noise.offset]
        )
    else:
        scaled_noise = noise * scale
    settings = dict(iterations=3, renoise=renoise, threads=1)
    reference = scale * pxvorel.denoise(image, noise=noise, **settings).astype(np.float64)
    scaled = pxvorel.denoise(image * scale, noise=scaled_noise, **settings).astype(np.float64)
    return float(np.max(np.abs(scaled - reference)) / np.max(np.abs(reference)))


@pytest.mark.parametrize("renoise", [0.0, 0.5])
@pytest.mark.parametrize("noise", [8.0, NoiseModel([2.0], [20.0])], ids=["gaussian", "poisson-gaussian"])
def test_results_scale_with_the_intensity_unit(noise, renoise: float) -> None:
    clean = blobs((64, 64), 5, seed=7, low=20.0, high=300.0)
    image = clean + np.random.default_rng(8).normal(0.0, 1.0, clean.shape) * np.sqrt(2.0 * clean + 20.0)
    errors = [scaled_error(image, noise, k, renoise) for k in (1e-4, 1e-2, 3.7, 1e3, 1e6)]
    assert max(errors) < 1e-5, errors


@pytest.mark.parametrize("noise", [NoiseModel(gain=[2.0], offset=[9.0]), 3.0])
def test_stacks_are_transformed_a_few_planes_at_a_time_with_the_same_result(monkeypatch, noise) -> None:
    import pxvorel.run.unit as unit_module

    stack = blobs((2, 5, 24, 20), 4, seed=9, low=20.0, high=200.0).astype(np.float32)
    whole = pxvorel.denoise(stack, axes="TZYX", noise=noise, iterations=1, threads=1)
    monkeypatch.setattr(unit_module, "SLAB_SAMPLES", 2 * 24 * 20 + 1)  # two planes at a time, 5 per frame
    np.testing.assert_array_equal(pxvorel.denoise(stack, axes="TZYX", noise=noise, iterations=1, threads=1), whole)
