"""Dark outliers repaired before the engine: single and paired dead samples go, noise, bright
samples and faint dark structure stay."""

from __future__ import annotations

import numpy as np
import pytest

from pxvorel.run.outliers import DARK, repair_dark


def field(shape: tuple[int, ...], seed: int = 0) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal(shape).astype(np.float32)


@pytest.mark.parametrize(
    ("shape", "dead"),
    [
        ((1, 1, 64, 64), [(0, 0, 20, 30)]),
        ((1, 1, 64, 64), [(0, 0, 20, 30), (0, 0, 20, 31)]),  # side by side
        ((1, 1, 64, 64), [(0, 0, 0, 0), (0, 0, 63, 17)]),  # on the faces
        ((2, 3, 16, 16), [(1, 2, 5, 5)]),  # a frame of a stack
        ((1, 1, 1, 200), [(0, 0, 0, 57)]),  # a line
    ],
)
def test_dead_samples_are_replaced_by_their_neighbours(shape: tuple[int, ...], dead: list[tuple[int, ...]]) -> None:
    stack = field(shape)
    before = stack.copy()
    for index in dead:
        stack[index] = -30.0
    assert repair_dark(stack) == len(dead)
    for index in dead:
        assert abs(stack[index]) < 3.0
    untouched = np.ones(shape, bool)
    untouched[tuple(np.array(dead).T)] = False
    np.testing.assert_array_equal(stack[untouched], before[untouched])


def test_noise_bright_samples_and_shallow_dips_stay() -> None:
    stack = field((1, 1, 1000, 1000), seed=1)
    stack[0, 0, 500, 500] = 40.0  # a hot pixel or an undersampled spot: not told apart, kept
    stack[0, 0, 300, 300] = -(DARK - 1.0)  # below the noise, but not by the threshold
    stack[0, 0, 10:13, 10:13] = -30.0  # a dark patch of nine samples is structure
    before = stack.copy()
    assert repair_dark(stack) == 0
    np.testing.assert_array_equal(stack, before)
    assert repair_dark(stack * 3.0, sd=3.0) == 0
