"""Denoising under signal-dependent noise through the stabilising transform."""

from __future__ import annotations

import numpy as np
import pytest

import pxvorel._px as px
from measures import psnr
from scenes import blobs, moving_blobs, poisson_gaussian

RADIUS = [3, 3, 1, 0, 1]
AXES = [1, 1, 1, 0, 1]


def denoise_pg(image: np.ndarray, gain: list[float], offset: list[float], **changes) -> np.ndarray:
    args = dict(sigma=1.0, radius=RADIUS, axes=AXES, max_iter=4, pvalue=0.01, nthreads=2, renoise=0.0)
    args.update(changes)
    return px._denoise_poisson_gaussian(
        image,
        args["sigma"],
        gain,
        offset,
        args["radius"],
        args["axes"],
        args["max_iter"],
        args["pvalue"],
        args["nthreads"],
        args["renoise"],
    )


@pytest.mark.parametrize(
    "make_clean",
    [lambda: blobs((128, 128), 12, seed=1), lambda: moving_blobs(10, 64, 6, seed=2)[:, None, None]],
    ids=["2-D", "10 frames"],
)
def test_fitted_model_beats_noise_and_a_single_sigma(make_clean) -> None:
    clean = make_clean()
    noisy = poisson_gaussian(clean, gain=2.0, offset=9.0, seed=3)
    (gain, offset) = px._calibrate_poisson_gaussian(noisy)
    stabilised = denoise_pg(noisy.copy(), gain, offset)
    # The inverse transform adds 0.25 by design; PSNR is judged as it comes out.
    sigma = px._calibrate_gaussian(noisy)
    plain = px._denoise_gaussian(noisy.copy(), sigma, RADIUS, AXES, 4, 0.01, 2, 0.0)
    before, after, single = psnr(clean, noisy), psnr(clean, stabilised), psnr(clean, plain)
    print(f"PSNR noisy {before:.2f} dB, stabilised {after:.2f} dB, single sigma {single:.2f} dB")
    assert after >= before + 4.0
    assert after > single


def test_channels_use_their_own_model() -> None:
    clean = blobs((2, 1, 64, 64), 6, seed=4)
    gains, offsets = [1.0, 12.0], [4.0, 100.0]
    noisy = np.stack([poisson_gaussian(clean[c], gains[c], offsets[c], seed=5 + c) for c in range(2)])
    right = denoise_pg(noisy.copy(), gains, offsets)
    swapped = denoise_pg(noisy.copy(), gains[::-1], offsets[::-1])
    for c in range(2):
        assert psnr(clean[c], right[c]) > psnr(clean[c], swapped[c])


@pytest.mark.parametrize(
    ("changes", "message"),
    [
        ({"max_iter": 0}, "max_iter must be > 0"),
        ({"radius": [3, 3, -1, 0, 0]}, "patch radius cannot be negative"),
        ({"pvalue": 1.5}, r"pvalue must be in range \[0, 1\]"),
        ({"renoise": -1.0}, "renoise factor must be >= 0"),
        ({"sigma": 0.0}, "sigma must be > 0"),
        ({"max_iter": 0, "pvalue": 2.0, "sigma": -1.0}, "max_iter must be > 0"),
    ],
)
def test_parameter_errors_leave_the_input_untouched(changes, message) -> None:
    image = blobs((1, 3, 16, 16), 2, seed=6).astype(np.float32)
    before = image.copy()
    with pytest.raises(ValueError, match=f"^{message}$"):
        denoise_pg(image, [1.0], [0.0], **changes)
    np.testing.assert_array_equal(image, before)


@pytest.mark.parametrize(
    ("gain", "offset", "message"),
    [
        ([1.0], [0.0], "gain"),
        ([1.0, 1.0, 1.0], [0.0], "offset"),
        ([1.0, 0.0, 1.0], [0.0] * 3, "gain"),
        ([1.0, float("nan"), 1.0], [0.0] * 3, "gain"),
    ],
    ids=["short-gain", "short-offset", "zero-gain", "nan-gain"],
)
def test_noise_model_must_cover_every_channel(gain, offset, message) -> None:
    image = blobs((3, 1, 16, 16), 2, seed=7).astype(np.float32)
    before = image.copy()
    with pytest.raises(ValueError, match=message):
        denoise_pg(image, gain, offset)
    np.testing.assert_array_equal(image, before)


def test_read_only_input_is_denoised_then_refused() -> None:
    image = blobs((24, 24), 3, seed=8).astype(np.float32)
    image.flags.writeable = False
    before = image.copy()
    with pytest.raises(ValueError, match=r"^array is not writeable$"):
        denoise_pg(image, [1.0], [0.0])
    np.testing.assert_array_equal(image, before)


def test_in_place_for_float32_and_a_copy_otherwise() -> None:
    image = blobs((24, 24), 3, seed=9).astype(np.float32)
    assert denoise_pg(image, [1.0], [0.0]) is image
    wide = image.astype(np.float64)
    before = wide.copy()
    result = denoise_pg(wide, [1.0], [0.0])
    assert result.dtype == np.float32 and result is not wide
    np.testing.assert_array_equal(wide, before)
