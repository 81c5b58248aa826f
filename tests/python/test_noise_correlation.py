"""Spatially correlated noise: measured from the image, carried by the model, whitened by the
run; white noise and smooth signal keep the white model and today's result."""

from __future__ import annotations

import math
import pickle
import warnings
from pathlib import Path

import numpy as np
import pytest
import tifffile
from scipy import ndimage

import pxvorel
from pxvorel import NoiseModel
from pxvorel.noise.correlation import NoiseCorrelation
from pxvorel.noise.figure import model_figure
from scenes import blobs

DATA = Path(__file__).resolve().parents[3] / "shared" / "data"
SIGMA = 6.0


def correlated(shape: tuple[int, ...], seed: int, along: str = "XY", width: float = 1.0) -> np.ndarray:
    """Noise of unit per-pixel sd as a camera that resamples makes it: normal noise blurred by
    a Gaussian of `width` along `along` (the last axes), plus a third of its variance of
    white noise (the high frequencies a camera's noise keeps, at a thirtieth of the power of
    the lowest): neighbours correlate by about 0.6."""
    rng = np.random.default_rng(seed)
    sigmas = [width if a in along else 0.0 for a in "TZYX"[-len(shape) :]]
    blurred = ndimage.gaussian_filter(rng.normal(size=shape), sigmas, mode="wrap")
    noise = blurred / blurred.std() + math.sqrt(0.3) * rng.normal(size=shape)
    return noise / noise.std()


def neighbour(noise: np.ndarray, axis: int) -> float:
    r = noise - noise.mean()
    return float(np.mean(r * np.roll(r, 1, axis=axis)) / np.mean(r * r))


@pytest.fixture(scope="module")
def scene() -> tuple[np.ndarray, np.ndarray]:
    """Blobs on a background with camera-like correlated noise of sd SIGMA, and that noise."""
    clean = blobs((256, 256), 8, seed=11, low=100.0, high=400.0)
    noise = SIGMA * correlated(clean.shape, seed=12)
    return clean, noise


def psnr(clean: np.ndarray, image: np.ndarray) -> float:
    return 10 * math.log10(float(np.ptp(clean)) ** 2 / float(np.mean((image - clean) ** 2)))


@pytest.mark.parametrize("along", ["XY", "X"], ids=["camera", "scan lines"])
def test_the_model_carries_the_measured_correlation_and_the_per_pixel_level(along: str) -> None:
    clean = blobs((256, 256), 8, seed=11, low=100.0, high=400.0)
    noise = SIGMA * correlated(clean.shape, seed=13, along=along)
    model = pxvorel.estimate_noise(clean + noise)
    correlation = model.correlation[0]
    assert correlation is not None and model.correlated(0)
    assert correlation.neighbour("X") == pytest.approx(neighbour(noise, 1), abs=0.05)
    assert correlation.neighbour("Y") == pytest.approx(neighbour(noise, 0), abs=0.05)
    white = pxvorel.estimate_noise(clean + noise, correlation=False)
    assert white.correlation == (None,)
    assert model.std(200.0) == pytest.approx(SIGMA, rel=0.12)  # the white model sees far less
    assert white.std(200.0) < 0.8 * SIGMA
    assert "correlated" in model.describe()
    assert pickle.loads(pickle.dumps(model)) == model and len(pickle.dumps(correlation)) < 2000
    assert model.to_dict()["correlation"] == [correlation.to_dict()]


def scan_lines(shape: tuple[int, ...], seed: int, axis: int, share: float = 0.35) -> np.ndarray:
    """Noise of unit sd as a scanning detector's bandwidth makes it: each sample keeps `share`
    of the one before it along `axis` (neighbours correlate by share / (1 + share**2), 0.31),
    the lines independent."""
    white = np.random.default_rng(seed).normal(size=shape)
    return (white + share * np.roll(white, 1, axis=axis)) / math.sqrt(1.0 + share * share)


@pytest.mark.parametrize("axis", ["X", "Y"])
def test_weak_correlation_along_one_axis_is_measured_and_whitened_along_it_only(axis: str) -> None:
    """Below the threshold for correlation along both axes, noise correlated along the scan
    lines alone is still the noise's: the model carries it, no correlation across the lines,
    the per-pixel level, and the run whitens it."""
    clean = blobs((256, 256), 8, seed=11, low=100.0, high=400.0)
    along, across = (-1, -2) if axis == "X" else (-2, -1)
    noise = SIGMA * scan_lines(clean.shape, seed=13, axis=along)
    noisy = (clean + noise).astype(np.float32)
    denoised, model = pxvorel.denoise(noisy, threads=1, return_noise=True)
    correlation = model.correlation[0]
    assert correlation is not None
    assert correlation.neighbour(axis) == pytest.approx(neighbour(noise, along), abs=0.05)
    lags = np.asarray(correlation.lags)
    assert not np.any(lags[1:] if axis == "X" else lags[:, 1:])  # independent lines
    assert correlation.reach_along(axis) > 0 and correlation.reach_along("Y" if axis == "X" else "X") == 0
    assert model.std(200.0) == pytest.approx(SIGMA, rel=0.12)
    white = correlation.whiten((noise / SIGMA)[None, None])[0, 0][16:-16, 16:-16]
    assert abs(neighbour(white, along)) < 0.06 and abs(neighbour(white, across)) < 0.06
    plain = pxvorel.denoise(noisy, threads=1, noise=pxvorel.estimate_noise(noisy, correlation=False))
    assert psnr(clean, denoised) > psnr(clean, plain) + 1.0


def test_whitening_makes_the_noise_white_and_colouring_undoes_it_exactly(scene) -> None:
    _, noise = scene
    model = pxvorel.estimate_noise(scene[0] + noise)
    correlation = model.correlation[0]
    assert correlation is not None
    stack = (noise / SIGMA)[None, None]
    white = correlation.whiten(stack)[0, 0]
    inner = white[16:-16, 16:-16]
    assert abs(neighbour(inner, 0)) < 0.06 and abs(neighbour(inner, 1)) < 0.06
    assert inner.std() == pytest.approx(1.0, rel=0.1)
    np.testing.assert_allclose(correlation.colour(correlation.whiten(stack)), stack, atol=1e-9)


def test_the_run_whitens_correlated_noise_and_beats_the_white_model(scene) -> None:
    clean, noise = scene
    noisy = (clean + noise).astype(np.float32)
    denoised, model = pxvorel.denoise(noisy, threads=1, return_noise=True)
    assert model.correlated(0)
    white = pxvorel.denoise(noisy, threads=1, noise=pxvorel.estimate_noise(noisy, correlation=False))
    assert psnr(clean, denoised) > psnr(clean, white) + 3.0
    assert abs(float(denoised.mean() - noisy.mean())) < 0.1 * SIGMA  # intensities kept


def test_the_quality_estimate_follows_the_correlated_noise(scene) -> None:
    """The risk estimate's divergence term takes the probe coloured as the noise (with the
    white probe it comes out at -3.3 for a true 3.2 here). Its error is mostly the model's
    level (a tenth off in variance shifts it by a tenth of the noise variance)."""
    clean, noise = scene
    noisy = (clean + noise).astype(np.float32)
    denoised, report = pxvorel.denoise(noisy, threads=1, quality=True, return_report=True)
    assert report.quality is not None
    true_mse = float(np.mean((denoised - clean) ** 2))
    assert abs(report.quality.mse[0] - true_mse) < 0.08 * SIGMA**2


@pytest.mark.parametrize("make", ["gaussian", "poisson", "streaks along X", "smooth stack"])
def test_white_noise_keeps_the_white_model_and_its_result(make: str) -> None:
    rng = np.random.default_rng(5)
    axes = "YX"
    if make == "gaussian":
        image = blobs((192, 192), 8, seed=6, low=50.0, high=300.0) + rng.normal(0.0, 8.0, (192, 192))
    elif make == "poisson":
        image = rng.poisson(blobs((192, 192), 8, seed=7, low=5.0, high=80.0)).astype(np.float64)
    elif make == "streaks along X":  # fibres a pixel across: signal that correlates along X alone, over lags
        streaks = ndimage.gaussian_filter1d(rng.exponential(1.0, (192, 192)), 4.0, axis=1)
        image = rng.poisson(blobs((192, 192), 8, seed=7, low=5.0, high=80.0) + 30.0 * streaks / streaks.max())
        image = image.astype(np.float64)
    else:  # smooth blob tails everywhere, dim Poisson background: no correlation of the noise's own
        image = rng.poisson(
            np.stack([blobs((128, 128), 12, seed=8, low=10.0, high=250.0) * (0.6 + 0.05 * z) for z in range(12)])
        ).astype(np.float64)
        axes = "ZYX"
    model = pxvorel.estimate_noise(image, axes=axes)
    white = pxvorel.estimate_noise(image, axes=axes, correlation=False)
    assert model == white and model.correlation == (None,)
    if make == "gaussian":
        np.testing.assert_array_equal(
            pxvorel.denoise(image, threads=1, iterations=2),
            pxvorel.denoise(image, threads=1, iterations=2, noise=white),
        )


def test_a_given_correlation_is_used_and_checked() -> None:
    correlation = NoiseCorrelation(((1.0, 0.6), (0.6, 0.4)))
    model = NoiseModel([0.0], [25.0], correlation=(correlation,))
    assert model.for_channels(2).correlation == (correlation, correlation)
    assert model.probe_share(0, "cells") == pytest.approx(1.0 - 0.6 - 0.6 + 0.4)
    raised = NoiseModel.gaussian(2.0).with_correlation(0, NoiseCorrelation(((1.0, 0.5), (0.5, 0.3)), level=4.0))
    assert raised.std(10.0) == pytest.approx(4.0)
    for lags, z, level in [
        (((0.9, 0.5), (0.5, 0.3)), 0.0, 1.0),
        (((1.0, 1.5), (0.5, 0.3)), 0.0, 1.0),
        (((1.0, 0.5),), 0.0, 1.0),
        (((1.0, 0.5), (0.5, 0.3)), 1.0, 1.0),
        (((1.0, 0.5), (0.5, 0.3)), 0.0, 0.0),
    ]:
        with pytest.raises(ValueError):
            NoiseCorrelation(lags, z=z, level=level)
    with pytest.raises(ValueError, match="NoiseCorrelation"):
        NoiseModel([1.0], [0.0], correlation=("0.5",))  # type: ignore[arg-type]


def test_a_stack_whose_slices_share_noise_is_whitened_along_z() -> None:
    clean = np.full((16, 128, 128), 200.0)
    planes = correlated((17, 128, 128), seed=21, along="XY")
    noise = SIGMA * (planes[1:] + planes[:-1]) / np.sqrt(2.0)  # neighbouring slices share half their noise
    model = pxvorel.estimate_noise(clean + noise, axes="ZYX")
    correlation = model.correlation[0]
    assert correlation is not None and correlation.z == pytest.approx(neighbour(noise, 0), abs=0.1)
    stack = (noise / SIGMA)[None]
    np.testing.assert_allclose(correlation.colour(correlation.whiten(stack)), stack, atol=1e-9)


@pytest.mark.parametrize("lines", [False, True], ids=["camera", "scan lines"])
def test_dask_blocks_of_correlated_noise_match_the_whole_image_closely(scene, lines: bool) -> None:
    da = pytest.importorskip("dask.array")
    clean, noise = scene
    if lines:  # blocks cut across the lines need no margin for the whitening
        noise = SIGMA * scan_lines(clean.shape, seed=14, axis=-1)
    noisy = (clean + noise).astype(np.float32)
    model = pxvorel.estimate_noise(noisy)
    whole = pxvorel.denoise(noisy, noise=model, threads=1, patch_radius=2)
    blocked = pxvorel.denoise(da.from_array(noisy, chunks=(128, 128)), noise=model, patch_radius=2).compute()
    assert float(np.max(np.abs(blocked - whole))) < 0.05 * SIGMA


def test_the_figure_shows_the_correlation_beside_the_level(scene) -> None:
    pytest.importorskip("matplotlib")
    noisy = scene[0] + scene[1]
    figure = model_figure(noisy[None, None, None], pxvorel.estimate_noise(noisy))
    assert len(figure.axes) == 2
    assert "correlation" in figure.axes[1].get_title()


@pytest.mark.skipif(not DATA.is_dir(), reason="real images are not present")
@pytest.mark.parametrize("name", ["widefield_bpae_nuclei", "widefield_bpae_mito"])
def test_real_camera_noise_is_measured_at_its_level_and_correlation(name: str) -> None:
    noisy = tifffile.imread(DATA / f"pair_fmd_{name}_raw_u8.tif").astype(np.float64)
    clean = tifffile.imread(DATA / f"pair_fmd_{name}_avg50_u8.tif").astype(np.float64)
    (a, b), *_ = np.linalg.lstsq(np.stack([clean.ravel(), np.ones(clean.size)], 1), noisy.ravel(), rcond=None)
    matched = a * clean + b
    noise = noisy - matched
    model = pxvorel.estimate_noise(noisy)
    correlation = model.correlation[0]
    assert correlation is not None
    assert correlation.neighbour("X") == pytest.approx(neighbour(noise, 1), abs=0.1)
    assert correlation.neighbour("Y") == pytest.approx(neighbour(noise, 0), abs=0.1)
    middle = np.abs(matched - np.median(matched)) < 0.05 * np.ptp(matched)
    assert 0.8 <= math.sqrt(float(np.mean(model.variance(matched[middle])))) / float(noise[middle].std()) <= 1.25


#: Real images whose noise correlates along the scan lines (X) alone.
SCAN_LINES = ("2d_microtubules_u16", "pair_mito_confocal_lowsnr_u8")


@pytest.mark.skipif(not DATA.is_dir(), reason="real images are not present")
@pytest.mark.parametrize(
    "path",
    sorted(p for p in DATA.glob("*.tif") if not p.name.startswith("pair_fmd_")) if DATA.is_dir() else [],
    ids=lambda p: p.stem,
)
def test_real_images_without_camera_correlation_keep_the_white_model(path: Path) -> None:
    """Their noise is white, or its correlation weak or unlike noise (haze, texture, moving
    nuclei), or not normal (the Golgi stack's sparse counts): the model, and so the result,
    is the white one; or it correlates along the scan lines alone, and only that is whitened."""
    image = pxvorel.read_image(path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        model = pxvorel.estimate_noise(image.data, axes=image.axes)
        white = pxvorel.estimate_noise(image.data, axes=image.axes, correlation=False)
    if path.stem not in SCAN_LINES:
        assert model == white
        return
    correlation = model.correlation[0]
    assert correlation is not None and correlation.neighbour("X") >= 0.15
    assert not np.any(np.asarray(correlation.lags)[1:])
