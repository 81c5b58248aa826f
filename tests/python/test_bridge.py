"""Conversion of NumPy arrays there and back, as the test function reports it."""

from __future__ import annotations

import numpy as np
import pytest

import pxvorel._px as px

HEADER = "array conversion\n - py::array -> px::array\n"


def converted(capfd, value):
    result = px.test(value)
    return result, capfd.readouterr().out


@pytest.mark.parametrize(
    ("shape", "text"),
    [
        ((7,), "7 x 1 x 1 x 1 x 1"),
        ((3, 4), "4 x 3 x 1 x 1 x 1"),
        ((2, 3, 4), "4 x 3 x 2 x 1 x 1"),
        ((2, 1, 3, 4), "4 x 3 x 1 x 2 x 1"),
        ((2, 1, 3, 4, 5), "5 x 4 x 3 x 1 x 2"),
    ],
)
def test_float32_round_trip_in_place(capfd, shape, text) -> None:
    image = np.arange(np.prod(shape), dtype=np.float32).reshape(shape)
    before = image.copy()
    result, out = converted(capfd, image)
    assert result is image
    np.testing.assert_array_equal(result, before)
    assert out == HEADER + f"shape: {text}\n - px::array -> py::array\n"


@pytest.mark.parametrize(
    "value",
    [
        np.array([[1.1, 2.2], [3.3, 4.4]], dtype=np.float64),
        np.array([[1, 65535], [7, 0]], dtype=np.uint16),
        [[1.5, 2.0, 3.0], [4.0, 5.0, 6.0]],
        np.asfortranarray(np.arange(12, dtype=np.float32).reshape(3, 4)),
        np.arange(24, dtype=np.float32).reshape(4, 6)[:, ::2],
    ],
    ids=["float64", "uint16", "nested-list", "column-major", "strided"],
)
def test_other_inputs_give_a_new_float32_array(capfd, value) -> None:
    original = np.array(value, copy=True)
    result, _ = converted(capfd, value)
    assert result is not value
    assert result.dtype == np.float32 and result.flags.c_contiguous
    np.testing.assert_array_equal(result, original.astype(np.float32))
    if isinstance(value, np.ndarray):
        assert value.dtype == original.dtype
        np.testing.assert_array_equal(value, original)


@pytest.mark.parametrize(
    ("value", "message"),
    [
        (np.zeros((1,) * 6, np.float32), "Array should have less than 5 dimensions."),
        (np.float32(3.0), "Array should have at least 1 dimension."),
        (2.5, "Array should have at least 1 dimension."),
    ],
)
def test_rank_errors_after_the_first_two_lines(capfd, value, message) -> None:
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        px.test(value)
    assert capfd.readouterr().out == HEADER


def test_read_only_float32_reports_all_steps_then_fails(capfd) -> None:
    image = np.arange(6, dtype=np.float32).reshape(2, 3)
    image.flags.writeable = False
    with pytest.raises(ValueError, match=r"^array is not writeable$"):
        px.test(image)
    assert capfd.readouterr().out == HEADER + "shape: 3 x 2 x 1 x 1 x 1\n - px::array -> py::array\n"
    np.testing.assert_array_equal(image, np.arange(6).reshape(2, 3))


def test_read_only_other_dtype_succeeds_on_a_copy(capfd) -> None:
    image = np.arange(6, dtype=np.float64)
    image.flags.writeable = False
    result, _ = converted(capfd, image)
    np.testing.assert_array_equal(result, image)


def test_zero_length_axis_gives_empty_shape(capfd) -> None:
    image = np.zeros((0, 5), np.float32)
    result, out = converted(capfd, image)
    assert result is image and result.shape == (0, 5)
    assert "shape: 0 x 0 x 0 x 0 x 0\n" in out


def test_axis_longer_than_int32_is_refused_before_conversion(capfd) -> None:
    image = np.zeros((0, 2**31), np.float32)  # holds no samples, so nothing is allocated
    with pytest.raises(ValueError, match="2147483647"):
        px.test(image)
