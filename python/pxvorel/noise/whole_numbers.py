"""Whole-number samples: held in their narrowest integer type, and pointwise functions of
them evaluated once per value.

A camera's samples are whole numbers in a range much narrower than their count (256 values
in an 8-bit image of a quarter of a million samples), also where they come as floating-point
numbers. Held as integers of the narrowest type that holds them exactly, they convert to
the same float64 values as before, while the passes over them that need no arithmetic
(extremes, comparisons) read a fraction of the memory and sums of them are exact. A pointwise
function of them (a stabilising transform) is evaluated on each value of the range once and
looked up for every sample: the same values, as the function gives the same result for the
same input, for a fraction of the work.
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
import numpy.typing as npt

#: Values of the range per sample at most for the table to pay (one evaluation per value of
#: the range against one per sample).
RANGE_SHARE = 0.25

Pointwise = Callable[[np.ndarray], npt.NDArray[np.float64]]


def _whole_range(channel: np.ndarray) -> tuple[int, int] | None:
    """The lowest and highest value of `channel` where all its values are whole numbers."""
    if channel.dtype.kind in "biu":
        return int(channel.min()), int(channel.max())
    if channel.dtype.kind != "f" or not np.array_equal(np.floor(channel), channel):
        return None
    return int(channel.min()), int(channel.max())


#: Integer types from the narrowest, for :func:`narrowest`.
_INTEGERS = (np.uint8, np.int8, np.uint16, np.int16, np.uint32, np.int32)


def narrowest(channel: np.ndarray) -> np.ndarray:
    """`channel` as the narrowest integer type that holds each of its values exactly, where
    they are all whole numbers; `channel` itself otherwise (or where it is that type already)."""
    found = _whole_range(channel)
    if found is None:
        return channel
    for kind in _INTEGERS:
        limits = np.iinfo(kind)
        if limits.min <= found[0] and found[1] <= limits.max:
            return channel if channel.dtype == kind else channel.astype(kind)
    return channel


def tabulated(function: Pointwise, channel: np.ndarray) -> Pointwise:
    """`function`, a pointwise function of float64 values, for arrays of values taken from
    `channel`: looked up in a table of its values over the channel's range where that range
    holds whole numbers only and is narrow (RANGE_SHARE); `function` itself otherwise.

    Examples
    --------
    >>> channel = np.array([[3, 5], [4, 3]], dtype=np.uint8)
    >>> lookup = tabulated(lambda v: np.sqrt(np.asarray(v, dtype=np.float64)), np.tile(channel, 8))
    >>> lookup(channel).tolist() == np.sqrt(channel.astype(np.float64)).tolist()
    True
    """
    found = _whole_range(channel)
    if found is None or found[1] - found[0] + 1 > RANGE_SHARE * channel.size:
        return function
    low, high = found
    table = np.asarray(function(np.arange(low, high + 1, dtype=np.float64)), dtype=np.float64)

    def lookup(values: np.ndarray) -> npt.NDArray[np.float64]:
        index = np.asarray(values).astype(np.intp)
        index -= low
        return np.asarray(table[index])

    return lookup
