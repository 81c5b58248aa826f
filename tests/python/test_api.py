"""The public Python API: axes, input safety, noise modes and parameter checks."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

import pxvorel
import pxvorel._engine as engine_module
import pxvorel.noise.channel_choice as choice_module
from measures import psnr
from pxvorel import NoiseModel
from pxvorel.noise.blocks import VarianceLine
from scenes import blobs, moving_blobs, poisson_gaussian


class NativeSpy:
    """Stands in for the native denoiser: records each call and the unit-noise image, returns it
    (and the second stage returns its pilot)."""

    def __init__(self, monkeypatch: pytest.MonkeyPatch) -> None:
        self.calls: list[dict[str, object]] = []
        monkeypatch.setattr(engine_module, "denoise", self.gaussian)
        monkeypatch.setattr(engine_module, "wiener", lambda noisy, pilot, *args, **kwargs: pilot.copy())

    def gaussian(self, image, sigma, radius, search, iterations, pvalue, threads, renoise, progress=None):
        self.calls.append(
            dict(shape=image.shape, sigma=sigma, radius=radius, search=search, threads=threads, image=image.copy())
        )
        return image.copy()  # the engine returns a new array


@pytest.fixture
def spy(monkeypatch: pytest.MonkeyPatch) -> NativeSpy:
    return NativeSpy(monkeypatch)


@pytest.mark.parametrize(
    ("shape", "candidates"),
    [((3, 64, 64), "'CYX', 'TYX', 'ZYX'"), ((64, 64, 3), "'YXC', 'ZYX'"), ((10, 64, 64), "'CYX', 'TYX', 'ZYX'")],
)
def test_a_doubtful_shape_needs_axes(spy, shape, candidates) -> None:
    """No silent guess: a CYX, YXC or short TYX array without axes is refused, naming the candidates."""
    image = np.random.default_rng(0).normal(100, 5, shape)
    for call in (pxvorel.denoise, pxvorel.estimate_noise, pxvorel.estimate_sigma):
        with pytest.raises(ValueError, match=candidates):
            call(image)
    assert spy.calls == []
    pxvorel.denoise(image, axes="YXC" if shape[-1] == 3 else "CYX", iterations=1)


@pytest.mark.parametrize(
    ("shape", "axes", "engine_shape"),
    [
        ((40,), None, (1, 1, 1, 1, 40)),
        ((12, 14), None, (1, 1, 1, 12, 14)),
        ((20, 12, 14), None, (1, 1, 20, 12, 14)),
        ((2, 3, 12, 14), None, (1, 2, 3, 12, 14)),
        ((4, 2, 3, 12, 14), None, (4, 2, 3, 12, 14)),
        ((5, 12, 14), "TYX", (5, 1, 1, 12, 14)),
        ((2, 12, 14), "CYX", (1, 2, 1, 12, 14)),
        ((12, 14, 3), "yxc", (1, 3, 1, 12, 14)),
        ((4, 3, 2, 12, 14), "TZCYX", (4, 2, 3, 12, 14)),
        ((3, 4, 12, 14), "ZTYX", (4, 1, 3, 12, 14)),
        ((6, 14), "TX", (6, 1, 1, 1, 14)),
    ],
)
def test_axes_reach_the_engine_as_tczyx_and_come_back(spy, shape, axes, engine_shape) -> None:
    image = np.arange(np.prod(shape), dtype=np.float32).reshape(shape)
    result = pxvorel.denoise(image, axes=axes, noise=2.0, channels="joint", refine=False)
    assert spy.calls[-1]["shape"] == engine_shape
    assert result.shape == shape and result.dtype == np.float32 and result.flags.c_contiguous
    np.testing.assert_array_equal(result, image)


def test_axis_order_does_not_change_the_result() -> None:
    clean = np.stack([moving_blobs(4, 24, 3, seed=s) for s in (1, 2)], axis=1)[:, :, None]  # T C Z Y X
    clean = np.repeat(clean, 3, axis=2)
    noisy = poisson_gaussian(clean, 2.0, 16.0, seed=3)
    model = NoiseModel([2.0, 2.0], [16.0, 16.0])
    settings = dict(noise=model, iterations=2, threads=1)
    reference = pxvorel.denoise(noisy, axes="TCZYX", **settings)
    reordered = pxvorel.denoise(np.ascontiguousarray(noisy.transpose(0, 2, 1, 3, 4)), axes="TZCYX", **settings)
    np.testing.assert_allclose(reordered, reference.transpose(0, 2, 1, 3, 4), rtol=1e-6, atol=1e-4)


@pytest.mark.parametrize(
    ("shape", "axes", "message"),
    [
        ((4, 8, 8), "TXX", "more than once"),
        ((4, 8, 8), "TAB", "unknown letter"),
        ((4, 8, 8), "YX", "2 axes but the image has 3"),
        ((2,) * 6, None, "at most 5 axes"),
        ((), None, "0-D"),
        ((0, 8), None, "empty"),
    ],
)
def test_bad_axes_and_shapes_are_refused(spy, shape, axes, message) -> None:
    with pytest.raises(ValueError, match=message):
        pxvorel.denoise(np.ones(shape, np.float32), axes=axes, noise=1.0)
    assert spy.calls == []


def test_input_is_never_changed_and_out_receives_the_result() -> None:
    noisy = poisson_gaussian(blobs((48, 48), 5, seed=4), 1.0, 4.0, seed=5)
    before = noisy.copy()
    result = pxvorel.denoise(noisy, iterations=2)  # float32 C-contiguous: the native call could work in place
    np.testing.assert_array_equal(noisy, before)
    assert not np.shares_memory(result, noisy)
    out = np.zeros_like(noisy)
    assert pxvorel.denoise(noisy, iterations=2, out=out, threads=1) is out
    assert pxvorel.denoise(noisy, iterations=2, out=noisy, threads=1) is noisy  # in place on request
    np.testing.assert_allclose(noisy, out, atol=1e-4)


def test_integer_and_float64_input_give_the_float32_result() -> None:
    clean = blobs((48, 48), 5, seed=6, low=20.0, high=300.0)
    counts = np.random.default_rng(7).poisson(clean)
    reference = pxvorel.denoise(counts.astype(np.float32), noise=NoiseModel([1.0], [0.0]), threads=1)
    for data in (counts.astype(np.uint16), counts.astype(np.int64), counts.astype(np.float64)):
        result = pxvorel.denoise(data, noise=NoiseModel([1.0], [0.0]), threads=1)
        assert result.dtype == np.float32
        np.testing.assert_allclose(result, reference, atol=1e-3)


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_samples_are_refused_before_any_work(spy, bad) -> None:
    image = np.ones((16, 16))
    image[3, 4] = bad
    for call in (pxvorel.denoise, pxvorel.estimate_noise, pxvorel.estimate_sigma):
        with pytest.raises(ValueError, match="NaN or infinite"):
            call(image)
    assert spy.calls == []


@pytest.mark.parametrize(
    ("changes", "message"),
    [
        (dict(iterations=0), "iterations"),
        (dict(pvalue=1.5), "pvalue"),
        (dict(renoise=-1.0), "renoise"),
        (dict(threads=0), "threads"),
        (dict(patch_radius={"X": 20}), "does not fit"),
        (dict(patch_radius={"C": 1}), "channels"),
        (dict(patch_radius=-1), "negative"),
        (dict(search_axes="XYQ"), "letters"),
        (dict(search_axes={"X": False}), "always"),
        (dict(noise="poisson"), "noise must be"),
        (dict(noise=-2.0), "sigma"),
        (dict(noise=NoiseModel([1.0, 1.0], [0.0, 0.0])), "2 channels"),
        (dict(noise=NoiseModel([-1.0], [0.0])), "gain must be >= 0"),
        (dict(out=np.zeros((5, 5), np.float32)), "out must be"),
    ],
)
def test_bad_parameters_are_refused_before_any_work(spy, changes, message) -> None:
    with pytest.raises(ValueError, match=message):
        pxvorel.denoise(np.ones((16, 16), np.float32), **{"noise": 1.0, **changes})
    assert spy.calls == []


def test_engine_settings_follow_the_named_axes(spy) -> None:
    image = np.ones((5, 3, 32, 32), np.float32)
    pxvorel.denoise(
        image, axes="TZYX", noise=1.0, patch_radius={"x": 3, "Y": 1, "Z": 1, "T": 2}, search_axes={"T": False}
    )
    call = spy.calls[-1]
    assert call["radius"] == [3, 1, 1, 0, 2] and call["search"] == [1, 1, 1, 0, 0]
    assert call["threads"] == 0  # the count in force, left as it is
    pxvorel.denoise(image, axes="TZYX", noise=1.0, threads=3)
    assert spy.calls[-1]["threads"] == 3
    pxvorel.denoise(np.ones((2, 8), np.float32), axes="ZX", noise=1.0)
    assert spy.calls[-1]["radius"][:3] == [2, 0, 0]  # defaults shrink to fit short axes


def test_noise_modes_on_poisson_gaussian_data(spy) -> None:
    clean = moving_blobs(8, 64, 6, seed=8)
    noisy = poisson_gaussian(clean, 3.0, 25.0, seed=9)
    _, model = pxvorel.denoise(noisy, axes="TYX", return_noise=True)
    assert spy.calls[-1]["sigma"] == 1.0
    assert model.gain[0] == pytest.approx(3.0, rel=0.15)
    assert model.std(clean.mean()) == pytest.approx(np.sqrt(3.0 * clean.mean() + 25.0), rel=0.1)
    _, explicit = pxvorel.denoise(noisy, axes="TYX", noise="poisson-gaussian", return_noise=True)
    assert explicit == model
    _, gaussian = pxvorel.denoise(noisy, axes="TYX", noise="gaussian", return_noise=True)
    assert gaussian.gain == (0.0,) and spy.calls[-1]["sigma"] == 1.0


def test_noise_modes_on_gaussian_data(spy) -> None:
    noisy = blobs((96, 96), 8, seed=10) + np.random.default_rng(11).normal(0, 6.0, (96, 96))
    _, model = pxvorel.denoise(noisy, noise="gaussian", return_noise=True)
    np.testing.assert_allclose(spy.calls[-1]["image"][0, 0, 0], noisy / np.sqrt(model.offset[0]), rtol=1e-6)
    assert model.std(100.0) == pytest.approx(6.0, rel=0.1)
    assert pxvorel.estimate_sigma(noisy) == pytest.approx(6.0, rel=0.1)
    # "auto" may keep a small fitted gain (then the stabilised path) or fall back with a
    # warning; either way its model must describe the noise of the bulk of the image.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        _, auto = pxvorel.denoise(noisy, return_noise=True)
    assert auto.std(np.median(noisy)) == pytest.approx(6.0, rel=0.15)


@pytest.mark.parametrize(
    ("fit", "kind", "reason"),
    [
        ((2.0, 10.0), "line", "line fits"),
        ((1e-4, 430.0), "gaussian", "changes by < 5 %"),  # std changes by < 5 % over the intensity range
        ((-0.5, 430.0), "curve", "gain -0.5 is not positive"),
        (None, "curve", "could not be measured"),
        ((2.0, -350.0), "curve", "predicts a noise sd of"),  # floored at the dark end, wrong at the median
        ((8.0, 10.0), "curve", "predicts a noise sd of"),  # 2x the noise that is there
    ],
)
def test_auto_uses_a_fitted_line_only_where_it_holds(spy, monkeypatch, fit, kind, reason) -> None:
    """Where no line holds, the measured curve is used (the noise rises: never one sigma), silently."""
    monkeypatch.setattr(choice_module, "fit_line", lambda profile: fit and VarianceLine(*fit))
    image = poisson_gaussian(np.linspace(150.0, 400.0, 128 * 128).reshape(128, 128), 2.0, 10.0, seed=21)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        warnings.filterwarnings("ignore", "channel 0: the noise model does not fit", UserWarning)  # a forced line
        _, model = pxvorel.denoise(image, return_noise=True, threads=1)  # one engine call, not bands
        assert pxvorel.estimate_noise(image) == model
    assert model.kind(0) == kind and reason in model.reason(0)
    for intensity in (160.0, 390.0):  # the model in use describes the noise at both ends
        assert kind == "gaussian" or model.std(intensity) == pytest.approx(np.sqrt(2.0 * intensity + 10.0), rel=0.2)
    assert len(spy.calls) == 1 and spy.calls[0]["sigma"] == 1.0


@pytest.mark.parametrize(
    ("channels", "shapes"), [("joint", [(1, 2, 1, 32, 32)]), ("separate", [(1, 1, 1, 32, 32)] * 2)]
)
def test_channels_of_any_model_reach_the_engine_at_unit_noise(spy, channels, shapes) -> None:
    """Jointly: one engine call with every channel; separately: one call per channel. Every
    channel at unit noise, whatever its model."""
    image = np.stack([np.full((32, 32), 50.0), np.full((32, 32), 80.0)])
    pxvorel.denoise(image, axes="CYX", noise=NoiseModel([0.0, 0.0], [4.0, 100.0]), channels=channels)
    spy.calls.clear()
    pxvorel.denoise(image, axes="CYX", noise=NoiseModel([0.0, 2.0], [4.0, 10.0]), channels=channels)
    assert [(call["shape"], call["sigma"]) for call in spy.calls] == [(shape, 1.0) for shape in shapes]
    # Separate channels may run side by side, so their calls come in either order.
    firsts = np.sort(np.concatenate([call["image"][0, :, 0, 0, 0] for call in spy.calls]))
    np.testing.assert_allclose(firsts, np.sort([25.0, np.sqrt(171.5)]), rtol=1e-6)


def test_estimate_noise_per_channel() -> None:
    clean = np.stack([blobs((96, 96), 8, seed=14, low=10.0, high=200.0), blobs((96, 96), 8, seed=15, low=30.0)])
    noisy = np.stack([poisson_gaussian(clean[0], 1.0, 4.0, seed=16), poisson_gaussian(clean[1], 4.0, 30.0, seed=17)])
    model = pxvorel.estimate_noise(noisy, axes="CYX")
    assert model.channels == 2
    assert model.gain == pytest.approx((1.0, 4.0), rel=0.15)
    with pytest.warns(UserWarning, match="no noise can be measured"):
        flat = pxvorel.estimate_noise(np.full((12, 12), 5, np.uint8))
    assert flat.kind(0) == "none" and flat.to_dict()["gain"] == [0.0]


def test_denoising_poisson_gaussian_series_gains_psnr() -> None:
    clean = moving_blobs(6, 64, 5, seed=18)
    noisy = poisson_gaussian(clean, 2.0, 16.0, seed=19)
    denoised = pxvorel.denoise(noisy, axes="TYX")
    assert psnr(clean, denoised) > psnr(clean, noisy) + 6.0


def test_stabilised_path_is_unbiased_on_flat_fields() -> None:
    """The inverse transform's bias correction is gain/4 in intensity units, not a fixed 0.25."""
    rng = np.random.default_rng(20)
    for gain in (0.5, 8.0):
        shape = (4, 64, 64)
        noisy = gain * rng.poisson(20.0, shape) + 100.0 + rng.normal(0, 3.0, shape)
        denoised = pxvorel.denoise(noisy, axes="TYX", noise=NoiseModel([gain], [9.0 - gain * 100.0]))
        # Against the noisy mean (which is unbiased), so that the sampling noise of the mean cancels.
        # A bias correction of a fixed 0.25 instead of gain/4 would be off by -1.75 at gain 8.
        assert np.mean(denoised) == pytest.approx(np.mean(noisy), rel=1.5e-3)


@pytest.mark.parametrize(
    "module",
    [
        "pxvorel.api",
        "pxvorel.noise.choose",
        "pxvorel.noise.model",
        "pxvorel.noise.censored",
        "pxvorel.noise.correlation",
        "pxvorel.noise.residuals",
        "pxvorel.noise.figure",
        "pxvorel.core.axes",
        "pxvorel.quality.estimate",
        "pxvorel.quality.report",
        "pxvorel.quality.tile_choice",
        "pxvorel.run.refine",
    ],
)
def test_docstring_examples_run(module) -> None:
    import doctest
    import importlib

    if module == "pxvorel.noise.figure":
        pytest.importorskip("matplotlib")
    assert doctest.testmod(importlib.import_module(module), raise_on_error=False).failed == 0
