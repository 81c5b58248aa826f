"""The stable sorting order of measured values, and equal-count bins of sorted values.

The noise measurement sorts hundreds of thousands to millions of values (the local means of
pixels) to bin them by rank. Camera counts, and means of a fixed number of them, are whole
numbers divided by that number; their order is then the order of small integers, which a
radix sort (NumPy's stable sort of 16-bit integers) finds in a pass or two over the data
instead of a comparison sort's many. Ties keep their original order either way, so the
order is always the one ``np.argsort(values, kind="stable")`` gives.

Bins of equal counts are those of ``np.array_split``: the first ``n % bins`` bins hold one
value more than the others. Their medians and percentiles are taken for all bins at once,
each group of bins of one size as the rows of a matrix.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

#: Radix passes of 16 bits at most; wider keys go to the comparison sort.
_RADIX_BITS = 16
_RADIX_PASSES = 2
#: Integer keys are exact, and distinct keys give distinct quotients, well below this.
_LARGEST_KEY = float(2**50)


def whole_keys(values: npt.NDArray[np.float64], divisor: float) -> npt.NDArray[np.int64] | None:
    """The integers k with k / divisor == values, exactly, or None when the values are not such
    quotients (or the keys too large to order the values exactly)."""
    keys = np.rint(values * divisor)
    if not np.all(np.abs(keys) < _LARGEST_KEY) or not np.array_equal(keys / divisor, values):
        return None
    return keys.astype(np.int64)


def stable_order(values: npt.NDArray[np.float64], divisor: float = 1.0) -> npt.NDArray[np.intp]:
    """``np.argsort(values, kind="stable")`` of a 1-D float64 array, by radix sort where every
    value is a whole number divided by `divisor`.

    Division by a positive number is monotone and, for integers below 2**50, one to one, so
    such values are ordered, ties and all, as their integers are.

    Examples
    --------
    >>> values = np.array([3, 1, 2, 1, 0], dtype=np.float64) / 25.0
    >>> stable_order(values, 25.0).tolist()
    [4, 1, 3, 2, 0]
    """
    keys = whole_keys(values, divisor) if values.size else None
    if keys is None:
        return np.argsort(values, kind="stable")
    keys -= keys.min()
    span = int(keys.max())
    if span >= 1 << (_RADIX_BITS * _RADIX_PASSES):
        return np.argsort(values, kind="stable")
    mask = (1 << _RADIX_BITS) - 1
    order = np.argsort((keys & mask).astype(np.uint16), kind="stable")
    if span > mask:  # least significant digit first: the second pass keeps the first's order within ties
        high = (keys >> _RADIX_BITS).astype(np.uint16)
        order = order[np.argsort(high[order], kind="stable")]
    return order


def sorted_quotients(keys: npt.NDArray[np.int64], divisor: float) -> npt.NDArray[np.float64]:
    """``keys / divisor`` in increasing order, for a positive `divisor`: the keys put in order
    by radix sort where they span fewer than 2**16 values (a bin's residuals of camera counts)."""
    low = int(keys.min())
    if int(keys.max()) - low <= (1 << _RADIX_BITS) - 1:
        ordered = np.sort((keys - low).astype(np.uint16), kind="stable").astype(np.int64) + low
    else:
        ordered = np.sort(keys)
    return ordered / divisor


def median(values: npt.NDArray[np.float64]) -> float:
    """``np.median`` of a 1-D float array without NaN (the mean of the two middle values of
    an even count), without the generic function's checks."""
    half = values.size // 2
    if values.size % 2:
        return float(np.partition(values, half)[half])
    middle = np.partition(values, [half - 1, half])
    return float((middle[half - 1] + middle[half]) / 2.0)


def sorted_median(ordered: npt.NDArray[np.float64], start: int, stop: int) -> float:
    """``np.median`` of values whose increasing order is ``ordered[start:stop]``."""
    half = (stop - start) // 2
    if (stop - start) % 2:
        return float(ordered[start + half])
    return float((ordered[start + half - 1] + ordered[start + half]) / 2.0)


def bin_sizes(count: int, bins: int) -> npt.NDArray[np.intp]:
    """The sizes of ``np.array_split`` of `count` values into `bins` bins."""
    size, extra = divmod(count, bins)
    sizes = np.full(bins, size, dtype=np.intp)
    sizes[:extra] += 1
    return sizes


def bin_rows(values: npt.NDArray[np.float64], bins: int) -> list[npt.NDArray[np.float64]]:
    """`values` (one per bin member, bin by bin) as one matrix per bin size: the longer bins'
    rows, then the shorter ones'."""
    size, extra = divmod(values.size, bins)
    split = extra * (size + 1)
    groups = [values[:split].reshape(extra, size + 1), values[split:].reshape(bins - extra, size)]
    return [g for g in groups if g.shape[0]]


def bin_medians(values: npt.NDArray[np.float64], bins: int) -> npt.NDArray[np.float64]:
    """``np.median`` of each of the `bins` equal-count bins of `values` (see :func:`bin_sizes`)."""
    return np.concatenate([np.median(rows, axis=1) for rows in bin_rows(values, bins)])


def bin_percentiles(values: npt.NDArray[np.float64], bins: int, q: float | list[float]) -> npt.NDArray[np.float64]:
    """``np.percentile(.., q)`` of each equal-count bin of `values`: shape (bins,) for one
    `q`, (len(q), bins) for several."""
    return np.concatenate([np.percentile(rows, q, axis=1) for rows in bin_rows(values, bins)], axis=-1)
