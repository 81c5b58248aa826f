"""The Gaussian and Poisson-Gaussian denoisers against the reference cases."""

from __future__ import annotations

import numpy as np
import pytest

import pxvorel._px as px

DENOISE_CASES = ["v2d_default", "v2d_r1_even_width", "v2d_renoise", "v3d_z1", "v5d_t1", "v2d_poisson_gaussian"]


def run_case(case: dict[str, np.ndarray], nthreads: int) -> np.ndarray:
    image = case["input"].astype(np.float32, copy=True)
    common = (
        [int(v) for v in case["patch_radius"]],
        [int(v) for v in case["neighborhood_axes"]],
        int(case["max_iter"]),
        float(case["pvalue"]),
        nthreads,
        float(case["renoise"]),
    )
    if str(case["kind"]) == "denoise_poisson_gaussian":
        gain = [float(v) for v in case["gain"]]
        offset = [float(v) for v in case["offset"]]
        return px._denoise_poisson_gaussian(image, float(case["sigma"]), gain, offset, *common)
    return px._denoise_gaussian(image, float(case["sigma"]), *common)


@pytest.mark.parametrize("name", DENOISE_CASES)
def test_one_thread_matches_reference_exactly(reference_case, name: str) -> None:
    case = reference_case(name)
    output = run_case(case, 1)
    expected = case["output"]
    different = np.flatnonzero(output.view(np.uint32) != expected.view(np.uint32))
    assert different.size == 0, (
        f"{different.size} samples differ, the first at {different[0]}: "
        f"{output.flat[different[0]]!r} != {expected.flat[different[0]]!r}"
    )


@pytest.mark.parametrize("name", DENOISE_CASES)
def test_two_threads_match_reference(reference_case, name: str) -> None:
    # Several threads add into a sample in another order: only the last bits may move.
    case = reference_case(name)
    output = run_case(case, 2)
    expected = case["output"]
    scale = float(np.max(np.abs(expected)))
    np.testing.assert_allclose(output, expected, rtol=0, atol=1e-6 * scale)
