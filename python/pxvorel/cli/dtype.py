"""``--dtype input``: a float32 result rounded and clipped to the input's integer type."""

from __future__ import annotations

from typing import TYPE_CHECKING, overload

import numpy as np

if TYPE_CHECKING:
    import dask.array as da


@overload
def cast_to(result: np.ndarray, dtype: np.dtype) -> tuple[np.ndarray, np.integer]: ...
@overload
def cast_to(result: da.Array, dtype: np.dtype) -> tuple[da.Array, da.Array]: ...
def cast_to(result: np.ndarray | da.Array, dtype: np.dtype) -> tuple[np.ndarray | da.Array, np.integer | da.Array]:
    """`result` rounded and clipped to an integer `dtype`, and the count of clipped samples
    (lazy for a dask array: NumPy's functions dispatch to it)."""
    info = np.iinfo(dtype)
    rounded = np.rint(result)
    clipped = ((rounded < info.min) | (rounded > info.max)).sum()
    return np.clip(rounded, info.min, info.max).astype(dtype), clipped
