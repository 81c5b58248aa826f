"""Behaviour of the entry point _denoise_gaussian: threads, parameter rules and
messages, argument conversion, in-place results and the interpreter lock."""

from __future__ import annotations

import math
import threading
import time

import numpy as np
import pytest

from denoise_images import arguments, denoise, mse, noisy_pair, openmp_threads

import pxvorel._px as px

SIGNATURE = (
    "(arg0: typing.Annotated[numpy.typing.ArrayLike, numpy.float32], "
    "arg1: typing.SupportsFloat | typing.SupportsIndex, "
    "arg2: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], "
    "arg3: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], "
    "arg4: typing.SupportsInt | typing.SupportsIndex, "
    "arg5: typing.SupportsFloat | typing.SupportsIndex, "
    "arg6: typing.SupportsInt | typing.SupportsIndex, "
    "arg7: typing.SupportsFloat | typing.SupportsIndex) -> numpy.typing.NDArray[numpy.float32]"
)


def small(shape: tuple[int, ...] = (24, 24)) -> np.ndarray:
    return noisy_pair(shape)[1]


@pytest.fixture
def restore_threads():
    """Puts the calling thread's OpenMP thread count back after the test."""
    before = openmp_threads()
    yield
    denoise(small((8, 8)), nthreads=before)
    assert openmp_threads() == before


def test_docstring_and_signature() -> None:
    assert px._denoise_gaussian.__doc__ == f"_denoise_gaussian{SIGNATURE}\n\npxvorel denoising\n"


def test_thread_count_rule(restore_threads) -> None:
    # Above 0 sets the count; 0 or below counts back from the count in force,
    # never below one; the count stays in force after the call.
    for nthreads, expected in [(1, 1), (0, 1), (2, 2), (-1, 1), (-1, 1), (3, 3), (-1, 2), (0, 2), (-5, 1)]:
        denoise(small((8, 8)), nthreads=nthreads)
        assert openmp_threads() == expected, f"after nthreads={nthreads}"


@pytest.mark.parametrize(
    ("shape", "patch_radius"),
    [
        pytest.param((16, 16), [2, 2, -1, 0, -5], id="2d_z_t_ignored"),
        pytest.param((1, 16, 16), [2, 2, -1, 0, -5], id="3d_single_slice"),
        pytest.param((5, 1, 3, 16, 16), [3, 3, 1, -7, 2], id="5d_channel_ignored"),
        pytest.param((1, 32), [3, 3, 1, 0, 1], id="x_row_y_ignored"),
        pytest.param((32, 1), [3, 3, 1, 0, 1], id="y_column_x_ignored"),
        pytest.param((32,), [3, 3, 1, 0, 1], id="1d"),
    ],
)
def test_radii_of_single_sample_axes_are_ignored(shape, patch_radius) -> None:
    clean, image = noisy_pair(shape)
    noisy = image.copy()
    out = denoise(image, patch_radius=patch_radius)
    assert out.shape == shape
    assert mse(clean, out) < mse(clean, noisy)


def test_search_along_x_and_y_is_always_on() -> None:
    clean, image = noisy_pair((48, 48))
    noisy = image.copy()
    out = denoise(image, neighborhood_axes=[0, 0, 0, 0, 0])
    assert mse(clean, out) <= 0.5 * mse(clean, noisy)


# Refused calls: (overrides, message). Earlier checks hide later ones: the
# list lengths, max_iter, the used radii, pvalue, renoise, sigma, then
# whether the patch fits the image.
REFUSED = [
    pytest.param({"max_iter": 0, "pvalue": 2.0}, "max_iter must be > 0", id="max_iter_before_pvalue"),
    pytest.param({"max_iter": 0, "sigma": 0.0}, "max_iter must be > 0", id="max_iter_before_sigma"),
    pytest.param({"max_iter": -1}, "max_iter must be > 0", id="max_iter_negative"),
    pytest.param({"patch_radius": [-1, 3, 1, 0, 1], "pvalue": 2.0}, "patch radius cannot be negative", id="radius"),
    pytest.param({"pvalue": 2.0, "renoise": -1.0}, "pvalue must be in range [0, 1]", id="pvalue_before_renoise"),
    pytest.param({"pvalue": 1.0001}, "pvalue must be in range [0, 1]", id="pvalue_above_one"),
    pytest.param({"pvalue": -0.01}, "pvalue must be in range [0, 1]", id="pvalue_negative"),
    pytest.param({"pvalue": math.nan}, "pvalue must be in range [0, 1]", id="pvalue_nan"),
    pytest.param({"renoise": -1.0, "sigma": 0.0}, "renoise factor must be >= 0", id="renoise_before_sigma"),
    pytest.param({"renoise": math.nan}, "renoise factor must be >= 0", id="renoise_nan"),
    pytest.param({"sigma": 0.0}, "sigma must be > 0", id="sigma_zero"),
    pytest.param({"sigma": -2.0}, "sigma must be > 0", id="sigma_negative"),
    pytest.param({"sigma": math.nan}, "sigma must be > 0", id="sigma_nan"),
    pytest.param({"sigma": 0.0, "patch_radius": [20, 3, 1, 0, 1]}, "sigma must be > 0", id="sigma_before_fit"),
    pytest.param(
        {"patch_radius": [3, 3, 1, 0], "max_iter": 0},
        "patch_radius needs 5 entries (x, y, z, c, t), got 4",
        id="short_patch_radius",
    ),
    pytest.param(
        {"neighborhood_axes": [1, 1, 1], "max_iter": 0},
        "neighborhood_axes needs 5 entries (x, y, z, c, t), got 3",
        id="short_neighborhood_axes",
    ),
    pytest.param(
        {"patch_radius": [20, 3, 1, 0, 1]},
        "the patch does not fit along x: radius 20 needs 41 samples, the axis has 24",
        id="patch_too_wide",
    ),
]


@pytest.mark.parametrize(("overrides", "message"), REFUSED)
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
        pytest.param((3, 16, 16), [2, 2, -1, 0, -5], "patch radius cannot be negative", id="negative_z_on_stack"),
        pytest.param((2, 1, 1, 16, 16), [2, 2, 0, 0, -5], "patch radius cannot be negative", id="negative_t_on_series"),
        pytest.param(
            (5, 32), [3, 3, 1, 0, 1], "the patch does not fit along y: radius 3 needs 7 samples, the axis has 5", id="y"
        ),
        pytest.param(
            (2, 16, 16), [3, 3, 1, 0, 1], "the patch does not fit along z: radius 1 needs 3 samples, the axis has 2", id="z"
        ),
        pytest.param(
            (4, 1, 1, 16, 16),
            [3, 3, 1, 0, 2],
            "the patch does not fit along t: radius 2 needs 5 samples, the axis has 4",
            id="t",
        ),
    ],
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
    [
        pytest.param({"pvalue": 0.0}, id="pvalue_zero"),
        pytest.param({"pvalue": 1.0}, id="pvalue_one"),
        pytest.param({"renoise": 0.0}, id="renoise_zero"),
        pytest.param({"max_iter": 1}, id="one_iteration"),
        pytest.param({"max_iter": 33}, id="search_beyond_the_image"),
    ],
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
        pytest.param(lambda image: px._denoise_gaussian(image, *arguments()[:-1], renoise=0.0), id="keyword"),
        pytest.param(lambda image: px._denoise_gaussian(image, *arguments()[:-1]), id="too_few"),
        pytest.param(lambda image: px._denoise_gaussian(image, *arguments(), 0), id="too_many"),
        pytest.param(lambda image: denoise(image, max_iter=4.0), id="float_max_iter"),
        pytest.param(lambda image: denoise(image, nthreads=1.0), id="float_nthreads"),
        pytest.param(lambda image: denoise(image, patch_radius="33101"), id="string_patch_radius"),
        pytest.param(lambda image: denoise(image, neighborhood_axes="11101"), id="string_axes"),
        pytest.param(lambda image: denoise(image, max_iter=2**31), id="max_iter_out_of_range"),
        pytest.param(lambda image: denoise(object()), id="not_an_array"),
    ],
)
def test_type_errors_run_nothing(call) -> None:
    image = small()
    noisy = image.copy()
    with pytest.raises(TypeError):
        call(image)
    np.testing.assert_array_equal(image, noisy)


def test_tuples_are_accepted_for_lists() -> None:
    out = denoise(small(), patch_radius=(3, 3, 1, 0, 1), neighborhood_axes=(1, 1, 1, 0, 1))
    assert out.dtype == np.float32


def test_writeable_float32_is_denoised_in_place() -> None:
    image = small()
    noisy = image.copy()
    out = denoise(image)
    assert out is image
    assert not np.array_equal(image, noisy)


@pytest.mark.parametrize(
    "convert",
    [
        pytest.param(lambda a: a.astype(np.float64), id="float64"),
        pytest.param(lambda a: np.asfortranarray(a), id="column_major"),
        pytest.param(lambda a: a.astype(np.uint16), id="uint16"),
        pytest.param(lambda a: a.tolist(), id="nested_list"),
    ],
)
def test_other_inputs_give_a_new_float32_array(convert) -> None:
    reference = small()
    expected = denoise(reference.copy())
    original = convert(reference)
    kept = np.array(original, copy=True)
    out = denoise(original)
    assert out is not original
    assert out.dtype == np.float32 and out.flags.c_contiguous
    np.testing.assert_array_equal(np.asarray(original), kept)
    if not isinstance(original, np.ndarray) or original.dtype != np.uint16:
        # the same samples as from the float32 input, up to the order of atomic additions
        np.testing.assert_allclose(out, expected, rtol=0, atol=1e-4 * float(np.abs(expected).max()))


def test_read_only_input_is_refused_after_the_run() -> None:
    image = small()
    image.flags.writeable = False
    noisy = image.copy()
    with pytest.raises(ValueError, match="^array is not writeable$"):
        denoise(image)
    np.testing.assert_array_equal(image, noisy)


def test_empty_image_is_returned_unchanged() -> None:
    image = np.zeros((0, 5), dtype=np.float32)
    out = denoise(image)
    assert out is image
    assert out.shape == (0, 5)


def test_other_python_threads_run_during_a_denoise() -> None:
    # A counter thread notes the time every 1000 increments. While the engine
    # runs without the interpreter lock it keeps counting, so notes fall well
    # inside the call, not only at its start and end.
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
        pytest.param((32, 32), [1, 1, 0, 0, 0], np.s_[:, -1], id="last_column"),
        pytest.param((32, 32), [1, 1, 0, 0, 0], np.s_[-1, :], id="last_row"),
        pytest.param((32, 16, 16), [3, 3, 1, 0, 0], np.s_[-1], id="last_slice"),
    ],
)
def test_radius_one_reaches_the_last_sample(shape, patch_radius, last) -> None:
    # With spacing 2 the interior grid stops one short of the last interior
    # position along an even axis; the far face is denoised all the same.
    clean, image = noisy_pair(shape, seed=3)
    noisy = image.copy()
    out = denoise(image, patch_radius=patch_radius)
    assert not np.any(out[last] == noisy[last])
    assert mse(clean[last], out[last]) < mse(clean[last], noisy[last])
