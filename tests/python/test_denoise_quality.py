"""What denoising is for: less error against the clean image, the same result
for one and two threads, and results that scale with the image."""

from __future__ import annotations

import numpy as np
import pytest

from measures import fraction_far, mse, psnr
from native_denoise import denoise
from scenes import noisy_pair

SIGMA = 10.0

# (T, 1, 1, Y, X) is a time series of single-channel 2-D images.
CASES = [
    pytest.param((128, 128), [3, 3, 0, 0, 0], id="2d"),
    pytest.param((8, 48, 48), [3, 3, 1, 0, 0], id="3d"),
    pytest.param((8, 1, 1, 64, 64), [3, 3, 0, 0, 1], id="5d_series"),
]


@pytest.mark.parametrize(("shape", "patch_radius"), CASES)
def test_error_against_clean_image_at_least_halves(shape, patch_radius) -> None:
    clean, image = noisy_pair(shape, SIGMA, seed=1)
    before = psnr(clean, image)
    noisy_mse = mse(clean, image)
    out = denoise(image, SIGMA, patch_radius=patch_radius, nthreads=2)
    after = psnr(clean, out)
    print(f"PSNR {shape}: {before:.2f} dB noisy, {after:.2f} dB denoised (+{after - before:.2f} dB)")
    assert mse(clean, out) <= 0.5 * noisy_mse


@pytest.mark.parametrize(("shape", "patch_radius"), CASES)
def test_one_and_two_threads_agree(shape, patch_radius) -> None:
    _, image = noisy_pair(shape, SIGMA, seed=2)
    one = denoise(image.copy(), SIGMA, patch_radius=patch_radius, nthreads=1)
    two = denoise(image.copy(), SIGMA, patch_radius=patch_radius, nthreads=2)
    # Several threads add into a sample in another order, so only the last bits may differ.
    assert fraction_far(two, one, 1e-5) <= 0.005


@pytest.mark.parametrize("renoise", [0.0, 0.5])
@pytest.mark.parametrize("k", [10.0, 0.1])
def test_result_scales_with_image_and_sigma(k, renoise) -> None:
    # Denoising k times the image with k times sigma gives k times the result:
    # every variance, the renoised one included, is in squared intensity units.
    _, image = noisy_pair((64, 64), SIGMA, seed=4)
    base = denoise(image.copy(), SIGMA, renoise=renoise)
    scaled = denoise((image.astype(np.float64) * k).astype(np.float32), SIGMA * k, renoise=renoise)
    expected = base.astype(np.float64) * k
    assert fraction_far(scaled, expected, 1e-4) == 0.0
