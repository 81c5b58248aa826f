"""``--dtype input``: the float32 result in the input's type (integers rounded and clipped)."""

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
    """`result` rounded and clipped to an integer `dtype`, or clipped to the range of a floating
    `dtype`, and the count of clipped samples (lazy for a dask array: NumPy's functions dispatch
    to it)."""
    floating = np.dtype(dtype).kind == "f"
    info: np.finfo | np.iinfo = np.finfo(dtype) if floating else np.iinfo(dtype)
    kept = result if floating else np.rint(result)
    clipped = ((kept < info.min) | (kept > info.max)).sum()
    return np.clip(kept, info.min, info.max).astype(dtype), clipped


def wants_cast(choice: str, source: np.dtype, result: np.dtype) -> bool:
    """Whether ``--dtype`` `choice` asks for a result of type `result` to be cast to the input's `source`."""
    return choice == "input" and np.dtype(source).kind in "iuf" and np.dtype(source) != np.dtype(result)
