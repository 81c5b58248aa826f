"""The noise model in use describes the noise at every intensity: clipped, flat, rising and
sparse data, lines that reach 0 just inside the range, the model estimate shows."""

from __future__ import annotations

import pickle
import warnings
from pathlib import Path

import numpy as np
import pytest
from scipy import ndimage

import pxvorel
import pxvorel.noise.channel_choice as choice_module
from pxvorel.cli import main
from pxvorel.core.axes import AxisPlan
from pxvorel.noise.blocks import VarianceLine
from pxvorel.noise.table import unit_transform
from scenes import blobs, photon_counts, ramp
from shared_data import REAL_IMAGES

LAPLACIAN = np.array([[0, -1, 0], [-1, 4, -1], [0, -1, 0]], dtype=np.float64) / np.sqrt(20.0)


def quiet_denoise(image: np.ndarray, **keywords: object) -> tuple[np.ndarray, pxvorel.NoiseModel]:
    """denoise, failing on any warning: the model in use needs none."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return pxvorel.denoise(image, return_noise=True, iterations=2, **keywords)  # type: ignore[call-overload, no-any-return]


def test_noise_proportional_to_intensity_gets_a_curve_not_one_sigma() -> None:
    """Fault 1 (one sigma for noise that grows) and fault 4 (estimate shows what denoise uses)."""
    clean = ramp(20.0, 400.0)
    noisy = clean + np.random.default_rng(1).normal(0, 1, clean.shape) * 0.15 * clean  # sd = 15 % of intensity
    result, model = quiet_denoise(noisy)
    assert model.kind(0) == "curve" and "no line fits" in model.reason(0)
    for intensity in (40.0, 200.0, 380.0):  # one sigma would be 2-5x off at the dark end
        assert model.std(intensity) == pytest.approx(0.15 * intensity, rel=0.25)
    assert pxvorel.estimate_noise(noisy) == model
    assert pickle.loads(pickle.dumps(model)) == model  # sent to dask workers as it is
    dark = clean < 60
    assert abs(result[dark].mean() - noisy[dark].mean()) < 0.25 * 0.15 * 40


@pytest.mark.parametrize("sigma", [2.0, 9.0])
def test_flat_noise_is_one_sigma_and_rising_noise_a_line(sigma: float) -> None:
    clean = ramp(50.0, 300.0)
    flat = clean + np.random.default_rng(2).normal(0, sigma, clean.shape)
    model = pxvorel.estimate_noise(flat)
    assert model.kind(0) == "gaussian" and model.std(100.0) == pytest.approx(sigma, rel=0.1)
    counts = np.random.default_rng(3).poisson(clean).astype(np.float64) * sigma  # gain sigma, offset 0
    line = pxvorel.estimate_noise(counts)
    assert line.kind(0) == "line" and line.gain[0] == pytest.approx(sigma, rel=0.15)


def test_a_clipped_background_is_modelled_not_rejected() -> None:
    """Fault 2: clipped samples rejected the line and fell back to one badly scaled sigma."""
    clean = ramp(-40.0, 300.0)
    noisy = np.clip(clean + np.random.default_rng(4).normal(0, 1, clean.shape) * np.sqrt(2 * clean + 100), 0, None)
    assert np.mean(noisy == 0) > 0.1
    result, model = quiet_denoise(noisy.round())
    assert model.low[0] == 0.0 and "clipped" in model.reason(0)
    if model.kind(0) == "clipped line":  # fitted clear of the clip: the true gain
        assert model.gain[0] == pytest.approx(2.0, rel=0.2)
    truth = model.variance(200.0), 2 * 200.0 + 100
    assert truth[0] == pytest.approx(truth[1], rel=0.3)
    assert model.variance(0.0) < 2.0  # at the clip the recorded samples hardly vary
    assert abs(result.mean() - noisy.mean()) < 0.25 * np.sqrt(2 * 150 + 100)
    assert result.min() >= 0.0


@pytest.mark.parametrize(("height", "level"), [(40.0, 8.0), (40.0, 15.0), (80.0, 15.0)])
def test_sparse_photon_noise_is_not_taken_for_outliers(height: float, level: float) -> None:
    """Fault: where most samples sit at 0 and a few a photon's height above, k-sigma
    clipping took the photons for outliers and the model kept a third to a half of the
    noise variance."""
    clean = np.broadcast_to(np.linspace(2.0, 60.0, 256), (256, 256))
    noisy = photon_counts(clean / height, height, seed=7)
    assert np.mean(noisy == 0) > 0.3
    truth = np.sqrt(2.0 * height * level)  # exponential heights: variance 2 * height * intensity
    assert pxvorel.estimate_noise(noisy).std(level) == pytest.approx(truth, rel=0.2)


def test_a_clipped_model_is_judged_where_most_samples_are_clear_of_the_clip(real_image) -> None:
    """Fault: the recorded noise judged a clipped model also where most samples sit at the
    clip, where bins by local intensity read it low, and the confocal mitochondria (78 % of
    samples at 0) fell back to a curve that the stabilising transform follows only gently."""
    image = pxvorel.read_image(real_image("pair_mito_confocal_lowsnr_u8.tif")).data
    with warnings.catch_warnings():  # its few bins clear of the clip fit in 5 of 7: a warning
        warnings.simplefilter("ignore", UserWarning)
        model = pxvorel.estimate_noise(image)
    assert model.kind(0) in ("gaussian", "clipped line") and model.low[0] == 0.0
    assert "clear of the clip" in model.reason(0)
    planes = image[None].astype(np.float64)
    for band in ((70.0, 72.5), (90.0, 92.5)):  # the mitochondria, where fewer samples are at 0
        level, sd = judge(planes, band)  # of its noise, correlated along X, the Laplacian sees a share
        assert model.std(level) * np.sqrt(model.probe_share(0)) == pytest.approx(sd, rel=0.15)


def test_a_black_box_is_not_a_clipped_background() -> None:
    """Fault 2: a small block of exact zeros (a label) was taken for clipping."""
    clean = ramp(100.0, 400.0)
    noisy = np.random.default_rng(5).poisson(clean).astype(np.float64)
    noisy[10:36, 10:36] = 0.0  # 1.8 % of the image
    _, model = quiet_denoise(noisy)
    assert model.kind(0) == "line" and not model.clipped(0)
    assert model.gain[0] == pytest.approx(1.0, rel=0.15)


def test_a_line_reaching_zero_just_inside_the_range_is_kept_with_a_floor(monkeypatch) -> None:
    """Fault 2: a line that fits at both ends was rejected (and "poisson-gaussian" raised)
    because it reached 0 slightly inside the range."""
    clean = ramp(140.0, 400.0)
    noisy = clean + np.random.default_rng(6).normal(0, 1, clean.shape) * np.sqrt(np.maximum(2.0 * clean - 300.0, 9.0))
    monkeypatch.setattr(choice_module, "fit_line", lambda profile: VarianceLine(2.0, -300.0))  # 0 at 150
    _, model = quiet_denoise(noisy, noise="poisson-gaussian")
    assert model.gain[0] == 2.0 and model.floor[0] > 0 and "reaches 0 at 150" in model.reason(0)


def test_a_measured_curve_does_not_take_bright_spots_for_noise(monkeypatch) -> None:
    """Small bright spots: the residual in the brightest bins is their curvature, and the
    curve reached 3.6x the shot noise there."""
    rng = np.random.default_rng(13)
    spots = np.zeros((192, 192))
    at = rng.integers(4, 188, (60, 2))
    spots[at[:, 0], at[:, 1]] = rng.uniform(500, 3000, 60)
    clean = np.linspace(50.0, 150.0, 192)[None, :] + ndimage.gaussian_filter(spots, 1.0) * 2 * np.pi
    monkeypatch.setattr(choice_module, "fit_line", lambda profile: None)  # a curve, whatever the noise
    model = pxvorel.estimate_noise(rng.poisson(clean).astype(np.float64))
    intensity, variance = model.curve[0]
    assert intensity[-1] > 300 and variance[-1] == pytest.approx(intensity[-1], rel=0.3)  # Poisson: variance = mean


@pytest.mark.parametrize(("name", "low", "high"), [("highsnr", 2.6, 2.9), ("lowsnr", 6.75, 6.75)])
def test_estimate_sigma_on_a_mostly_dark_image(real_image, name: str, low: float, high: float) -> None:
    """Fault 3: the sigma of a mostly-dark confocal image (median sample on its noiseless
    background) was that of the background, 0.04 (independent estimates 2.6-2.9); on its
    low-SNR twin, whose noise sd is about its intensity, the noise at the median of its
    signal, 11.7 (6.75 for a typical non-zero pixel)."""
    image = pxvorel.read_image(real_image(f"pair_mito_confocal_{name}_u8.tif"))
    assert low / 1.5 <= pxvorel.estimate_sigma(image.data) <= high * 1.5


def test_tabulated_transform_keeps_the_mean_of_averaged_samples() -> None:
    clean = ramp(20.0, 400.0)
    noisy = clean + np.random.default_rng(8).normal(0, 1, clean.shape) * 0.15 * clean
    model = pxvorel.estimate_noise(noisy)
    transform = unit_transform(model, 0)
    rng = np.random.default_rng(9)
    for level in (30.0, 100.0, 300.0):
        samples = level + rng.normal(0, 1, 200_000) * model.std(level)
        back = float(transform.inverse(np.array([transform.forward(samples).mean()]))[0])
        assert back == pytest.approx(level, abs=0.05 * model.std(level))
    unit = transform.forward(samples)
    assert np.std(unit) == pytest.approx(1.0, rel=0.15)
    # a curve whose sd rises faster than the transform follows: averages of its samples
    # came back 0.7 sd low at 60
    x = (0.0, 10.0, 20.0, 40.0, 80.0, 160.0)
    steep = pxvorel.NoiseModel(
        (0.0,), (4.0,), curve=((x, (1.0, 4.0, 100.0, 625.0, 2025.0, 4225.0)),), span=((-300.0, 600.0),)
    )
    transform = unit_transform(steep, 0)
    for level in (60.0, 120.0):
        sd = steep.std(level)
        back = float(transform.inverse(np.array([transform.forward(level + rng.normal(0, 1, 400_000) * sd).mean()]))[0])
        assert back == pytest.approx(level, abs=0.05 * sd)


@pytest.mark.parametrize(("share", "clipped"), [(0.6, False), (0.8, True)])
def test_a_sparse_image_whose_noise_rises_steeply_is_denoised(share: float, clipped: bool) -> None:
    """Noise whose sd rises steeply from a dark end to the median (60-80 % of the
    intensity) was stabilised with an sd several times too low at the median: the engine
    took the noise for signal and returned the image as it was (noise left ~1)."""
    clean = np.linspace(1.0, 40.0, 160)[None, None, :] + blobs((4, 160, 160), 6, seed=11, low=0.0, high=100.0)
    noisy = clean + np.random.default_rng(12).normal(0, 1, clean.shape) * share * clean
    noisy = np.clip(noisy, 0, None) if clipped else noisy
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        result = pxvorel.denoise(noisy, axes="ZYX", iterations=2)
    planes = np.asarray(result, dtype=np.float64)
    _, sd = judge(noisy, (47.5, 52.5))
    local = ndimage.uniform_filter(noisy, size=(1, 5, 5), mode="reflect")[:, 1:-1, 1:-1]
    band = (local >= np.percentile(local, 47.5)) & (local <= np.percentile(local, 52.5))
    left = ndimage.convolve(planes, LAPLACIAN[None], mode="reflect")[:, 1:-1, 1:-1][band]
    assert np.median(np.abs(left)) < 0.6 * 0.6745 * sd  # noise left at the median well below 1
    assert abs(planes.mean() - noisy.mean()) < 0.25 * sd


def test_estimate_plots_the_model(tmp_path) -> None:
    pytest.importorskip("matplotlib")
    image = tmp_path / "image.tif"
    pxvorel.write_image(image, np.random.default_rng(10).poisson(ramp(20.0, 200.0)).astype(np.uint16), axes="YX")
    assert main(["estimate", str(image), "--plot", str(tmp_path / "model.png"), "--quiet"]) == 0
    assert (tmp_path / "model.png").read_bytes()[:4] == b"\x89PNG"


def judge(planes: np.ndarray, band: tuple[float, float]) -> tuple[float, float]:
    """Independent in-plane estimate: (level, clipped sd of the Laplacian residual) over
    the pixels whose 5 x 5 local mean lies in the quantile `band`; the plain sd where the
    clipping drops more than 3 % of them."""
    residual = ndimage.convolve(planes, LAPLACIAN[None], mode="reflect")[:, 1:-1, 1:-1]
    local = ndimage.uniform_filter(planes, size=(1, 5, 5), mode="reflect")[:, 1:-1, 1:-1]
    low, high = np.percentile(local, band)
    v = everything = residual[(local >= low) & (local <= high)]
    for _ in range(10):
        kept = v[np.abs(v - np.median(v)) <= 3.5 * v.std()]
        if kept.size == v.size:
            break
        v = kept
    if v.size < 0.97 * everything.size:  # heavy-tailed noise (sparse photons), not a few edges: all of it
        v = everything
    return float(local[(local >= low) & (local <= high)].mean()), float(v.std())


@pytest.mark.parametrize("path", REAL_IMAGES, ids=lambda p: p.stem)
def test_the_model_fits_real_images_at_the_median_and_the_dark_end(path: Path) -> None:
    image = pxvorel.read_image(path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        model = pxvorel.estimate_noise(image.data, axes=image.axes)
    engine = AxisPlan.for_array(image.data.shape, image.axes).to_engine(image.data)
    for c in range(engine.shape[1]):
        planes = engine[:, c].reshape(-1, *engine.shape[3:]).astype(np.float64)
        for band in ((47.5, 52.5), (2.5, 7.5)):
            level, sd = judge(planes, band)
            if sd >= 0.5:  # of correlated noise, the Laplacian sees the model's probe share
                seen = model.std(level, c) * np.sqrt(model.probe_share(c))
                assert 0.75 <= seen / sd <= 1.33, f"channel {c}, band {band}"


def test_a_stack_measured_a_few_planes_at_a_time_gives_the_same_model(monkeypatch) -> None:
    """Large stacks are measured in groups of planes to bound memory; the groups, the
    planes chosen and the pixel stride must give exactly the model of one pass."""
    import pxvorel.noise.blocks as estimate_module
    import pxvorel.noise.residuals as observed_module

    rng = np.random.default_rng(4)
    clean = np.linspace(2.0, 60.0, 70 * 41 * 30).reshape(70, 41, 30)
    stack = np.maximum(rng.poisson(clean) * 3.0 - 20.0 + rng.normal(0, 2, clean.shape), 0).astype(np.float32)
    monkeypatch.setattr(observed_module, "MAX_PIXELS", 10_000)  # a stride of several pixels
    whole = pxvorel.estimate_noise(stack, axes="ZYX")
    monkeypatch.setattr(estimate_module, "GROUP_SAMPLES", 7 * 41 * 30 + 5)  # groups of 7 planes
    assert pickle.dumps(pxvorel.estimate_noise(stack, axes="ZYX")) == pickle.dumps(whole)


@pytest.mark.parametrize("clipped", [False, True])
def test_one_intensity_gives_a_float_and_an_index_still_works_with_a_warning(clipped: bool) -> None:
    model = pxvorel.NoiseModel((2.0,), (10.0,), low=(0.0 if clipped else -np.inf,))
    one, several = model.std(50.0), model.std([50.0, 80.0])
    assert isinstance(one, float) and several.shape == (2,) and one == pytest.approx(several[0])
    assert model.variance(np.float32(50.0)) == pytest.approx(one**2)
    with pytest.warns(DeprecationWarning, match="drop the"):
        assert one[0] == one
    with pytest.raises(IndexError):
        one[1]
