"""Behaviour of the entry point _denoise_gaussian: threads, parameter rules and
messages, argument conversion, in-place results and the interpreter lock."""

from __future__ import annotations

import math
import threading
import time

import numpy as np
import pytest

import pxvorel._px as px
from measures import mse
from native_denoise import arguments, denoise, openmp_threads
from scenes import noisy_pair


def small(shape: tuple[int, ...] = (24, 24)) -> np.ndarray:
    return noisy_pair(shape)[1]


@pytest.fixture
def restore_threads():
    """Puts the calling thread's OpenMP thread count back after the test."""
    before = openmp_threads()
    yield
    denoise(small((8, 8)), nthreads=before)


def test_docstring_and_signature() -> None:
    int_, float_ = "typing.SupportsInt | typing.SupportsIndex", "typing.SupportsFloat | typing.SupportsIndex"
    ints = f"collections.abc.Sequence[{int_}]"
    parameters = [
        "typing.Annotated[numpy.typing.ArrayLike, numpy.float32]",
        float_,
        ints,
        ints,
        int_,
        float_,
        int_,
        float_,
    ]
    signature = ", ".join(f"arg{k}: {kind}" for k, kind in enumerate(parameters))
    expected = f"_denoise_gaussian({signature}) -> numpy.typing.NDArray[numpy.float32]\n\npxvorel denoising\n"
    assert px._denoise_gaussian.__doc__ == expected


def test_thread_count_rule(restore_threads) -> None:
    # Above 0 sets the count; 0 or below counts back from the count in force,
    # never below one. The count stays in force after the call.
    for nthreads, expected in [(1, 1), (0, 1), (2, 2), (-1, 1), (-1, 1), (3, 3), (-1, 2), (0, 2), (-5, 1)]:
        denoise(small((8, 8)), nthreads=nthreads)
        assert openmp_threads() == expected, f"after nthreads={nthreads}"


@pytest.mark.parametrize(
    ("shape", "patch_radius"),
    [
        ((16, 16), [2, 2, -1, 0, -5]),
        ((1, 16, 16), [2, 2, -1, 0, -5]),
        ((5, 1, 3, 16, 16), [3, 3, 1, -7, 2]),
        ((1, 32), [3, 3, 1, 0, 1]),
        ((32, 1), [3, 3, 1, 0, 1]),
        ((32,), [3, 3, 1, 0, 1]),
    ],
    ids=["2d_z_t", "3d_single_slice", "5d_channel", "single_row", "single_column", "1d"],
)
def test_radii_of_unused_axes_are_ignored(shape, patch_radius) -> None:
    # Single-sample axes get radius 0; the channel radius is never read.
    clean, image = noisy_pair(shape)
    noisy = image.copy()
    out = denoise(image, patch_radius=patch_radius)
    assert mse(clean, out) < mse(clean, noisy)


def test_search_along_x_and_y_is_always_on() -> None:
    clean, image = noisy_pair((48, 48))
    noisy = image.copy()
    out = denoise(image, neighborhood_axes=[0, 0, 0, 0, 0])
    assert mse(clean, out) <= 0.5 * mse(clean, noisy)


# Refused calls and their messages. Earlier checks hide later ones: the list
# lengths, max_iter, the used radii, pvalue, renoise, sigma, then whether the
# patch fits the image.
REFUSED = {
    "max_iter_before_pvalue": ({"max_iter": 0, "pvalue": 2.0}, "max_iter must be > 0"),
    "max_iter_before_sigma": ({"max_iter": 0, "sigma": 0.0}, "max_iter must be > 0"),
    "radius_before_pvalue": ({"patch_radius": [-1, 3, 1, 0, 1], "pvalue": 2.0}, "patch radius cannot be negative"),
    "pvalue_before_renoise": ({"pvalue": 2.0, "renoise": -1.0}, "pvalue must be in range [0, 1]"),
    "pvalue_above_one": ({"pvalue": 1.0001}, "pvalue must be in range [0, 1]"),
    "pvalue_nan": ({"pvalue": math.nan}, "pvalue must be in range [0, 1]"),
    "renoise_before_sigma": ({"renoise": -1.0, "sigma": 0.0}, "renoise factor must be >= 0"),
    "renoise_nan": ({"renoise": math.nan}, "renoise factor must be >= 0"),
    "sigma_negative": ({"sigma": -2.0}, "sigma must be > 0"),
    "sigma_nan": ({"sigma": math.nan}, "sigma must be > 0"),
    "sigma_before_fit": ({"sigma": 0.0, "patch_radius": [20, 3, 1, 0, 1]}, "sigma must be > 0"),
    "short_patch_radius": (
        {"patch_radius": [3, 3, 1, 0], "max_iter": 0},
        "patch_radius needs 5 entries (x, y, z, c, t), got 4",
    ),
    "short_neighborhood_axes": (
        {"neighborhood_axes": [1, 1, 1], "max_iter": 0},
        "neighborhood_axes needs 5 entries (x, y, z, c, t), got 3",
    ),
    "patch_wider_than_image": (
        {"patch_radius": [20, 3, 1, 0, 1]},
        "the patch does not fit along x: radius 20 needs 41 samples, the axis has 24",
    ),
}


@pytest.mark.parametrize(("overrides", "message"), REFUSED.values(), ids=REFUSED.keys())
def test_refused_parameters(overrides, message) -> None:
    image = small()
    noisy = image.copy()
    with pytest.raises(ValueError) as error:
        denoise(image, **overrides)
    assert str(error.value) == message
    np.testing.assert_array_equal(image, noisy)


@pytest.mark.parametrize(
    ("shape", "patch_radius", "message"),
    [
        ((3, 16, 16), [2, 2, -1, 0, -5], "patch radius cannot be negative"),
        ((5, 32), [3, 3, 1, 0, 1], "the patch does not fit along y: radius 3 needs 7 samples, the axis has 5"),
        ((2, 16, 16), [3, 3, 1, 0, 1], "the patch does not fit along z: radius 1 needs 3 samples, the axis has 2"),
        (
            (4, 1, 1, 16, 16),
            [3, 3, 1, 0, 2],
            "the patch does not fit along t: radius 2 needs 5 samples, the axis has 4",
        ),
    ],
    ids=["negative_z_on_stack", "y", "z", "t"],
)
def test_refused_for_the_image_shape(shape, patch_radius, message) -> None:
    image = small(shape)
    noisy = image.copy()
    with pytest.raises(ValueError) as error:
        denoise(image, patch_radius=patch_radius)
    assert str(error.value) == message
    np.testing.assert_array_equal(image, noisy)


@pytest.mark.parametrize(
    "overrides",
    [{"pvalue": 0.0}, {"pvalue": 1.0}, {"renoise": 0.0}, {"max_iter": 1}, {"max_iter": 33}],
    ids=["pvalue_0", "pvalue_1", "renoise_0", "max_iter_1", "search_beyond_the_image"],
)
def test_accepted_boundary_values(overrides) -> None:
    image = small()
    noisy = image.copy()
    out = denoise(image, **overrides)
    assert not np.array_equal(out, noisy)
    # Every estimate is a weighted mean of noisy samples.
    assert np.all(np.isfinite(out))
    assert noisy.min() - 1e-3 <= out.min() and out.max() <= noisy.max() + 1e-3


@pytest.mark.parametrize(
    "call",
    [
        lambda image: px._denoise_gaussian(image, *arguments()[:-1], renoise=0.0),
        lambda image: px._denoise_gaussian(image, *arguments()[:-1]),
        lambda image: px._denoise_gaussian(image, *arguments(), 0),
        lambda image: denoise(image, max_iter=4.0),
        lambda image: denoise(image, patch_radius="33101"),
    ],
    ids=["keyword", "too_few", "too_many", "float_max_iter", "string_patch_radius"],
)
def test_type_errors_run_nothing(call) -> None:
    image = small()
    noisy = image.copy()
    with pytest.raises(TypeError):
        call(image)
    np.testing.assert_array_equal(image, noisy)
    # A tuple is a sequence like a list.
    assert denoise(image, patch_radius=(3, 3, 1, 0, 1), neighborhood_axes=(1, 1, 1, 0, 1)) is image
    assert not np.array_equal(image, noisy)


def test_writeable_float32_is_denoised_in_place() -> None:
    image = small()
    noisy = image.copy()
    assert denoise(image) is image
    assert not np.array_equal(image, noisy)


@pytest.mark.parametrize("convert", [lambda a: a.astype(np.float64), np.asfortranarray], ids=["float64", "fortran"])
def test_other_inputs_give_a_new_float32_array(convert) -> None:
    image = small()
    original = convert(image)
    out = denoise(original)
    assert out is not original and out.dtype == np.float32 and out.flags.c_contiguous
    np.testing.assert_array_equal(original, image)
    # the samples that the float32 input gives, up to the order of the additions into a sample
    np.testing.assert_allclose(out, denoise(image), rtol=0, atol=1e-4 * float(np.abs(out).max()))


def test_read_only_input_is_refused_after_the_run() -> None:
    image = small()
    image.flags.writeable = False
    noisy = image.copy()
    with pytest.raises(ValueError, match=r"^array is not writeable$"):
        denoise(image)
    np.testing.assert_array_equal(image, noisy)


def test_empty_image_is_returned_unchanged() -> None:
    image = np.zeros((0, 5), dtype=np.float32)
    assert denoise(image) is image
    assert image.shape == (0, 5)


def test_other_python_threads_run_during_a_denoise() -> None:
    # A counter thread notes the time every 1000 increments. The engine runs
    # without the interpreter lock, so notes fall well inside the call, not
    # only at its start and end.
    image = small((320, 320))
    notes: list[float] = []
    stop = threading.Event()

    def count() -> None:
        n = 0
        while not stop.is_set():
            n += 1
            if n % 1000 == 0:
                notes.append(time.perf_counter())

    counter = threading.Thread(target=count)
    counter.start()
    try:
        while not notes:
            time.sleep(0.001)
        start = time.perf_counter()
        denoise(image, nthreads=1)
        end = time.perf_counter()
    finally:
        stop.set()
        counter.join()
    span = end - start
    inside = [t for t in notes if start + 0.2 * span < t < end - 0.2 * span]
    assert len(inside) >= 10, f"{len(inside)} notes inside a call of {span:.3f} s"


@pytest.mark.parametrize(
    ("shape", "patch_radius", "last"),
    [
        ((32, 32), [1, 1, 0, 0, 0], np.s_[:, -1]),
        ((32, 32), [1, 1, 0, 0, 0], np.s_[-1, :]),
        ((32, 16, 16), [3, 3, 1, 0, 0], np.s_[-1]),
    ],
    ids=["last_column", "last_row", "last_slice"],
)
def test_radius_one_reaches_the_last_sample(shape, patch_radius, last) -> None:
    # With spacing 2 the interior grid stops one short of the last interior
    # position along an even axis; the far face is denoised all the same.
    clean, image = noisy_pair(shape, seed=3)
    noisy = image.copy()
    out = denoise(image, patch_radius=patch_radius)
    assert not np.any(out[last] == noisy[last])
    assert mse(clean[last], out[last]) < mse(clean[last], noisy[last])
