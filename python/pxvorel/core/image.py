"""Checks on the images callers hand in, before any work is done."""

from __future__ import annotations

import numpy as np


def as_image(image: np.typing.ArrayLike) -> np.ndarray:
    """Return `image` as a NumPy array after refusing what cannot be denoised.

    Integer, boolean and floating-point data are accepted (the caller's array is not
    copied here). Complex or non-numeric data, empty arrays, and arrays holding NaN or
    infinite samples or values beyond the float32 range raise ValueError.
    """
    array = np.asarray(image)
    if array.dtype.kind not in "biuf":
        raise ValueError(f"image must hold real numbers (integer or floating point), not {array.dtype}")
    if array.dtype == np.bool_:
        array = array.view(np.uint8)  # 0 and 1, so that arithmetic on it works; no copy
    if array.size == 0:
        raise ValueError(f"image is empty (shape {array.shape})")
    if array.dtype.kind == "f" and not np.isfinite(array).all():
        bad = int(np.count_nonzero(~np.isfinite(array)))
        raise ValueError(
            f"image has {bad} NaN or infinite sample(s); replace them (e.g. with numpy.nan_to_num) before denoising"
        )
    if array.dtype.kind == "f" and array.dtype.itemsize > 4:
        largest = max(abs(float(array.max())), abs(float(array.min())))
        if largest > np.finfo(np.float32).max:
            raise ValueError(
                f"image has values up to {largest:.4g}, beyond the float32 range (+-3.4e38) the engine works in; "
                "rescale it first"
            )
    return array
