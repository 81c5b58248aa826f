# Types of the native module _engine (bindings/engine/module.cpp).

from collections.abc import Callable, Sequence
from typing import Any, SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
import numpy.typing as npt

def denoise(
    image: npt.ArrayLike,
    sigma: SupportsFloat | SupportsIndex,
    patch_radius: Sequence[SupportsInt | SupportsIndex],
    neighborhood_axes: Sequence[SupportsInt | SupportsIndex],
    max_iter: SupportsInt | SupportsIndex,
    pvalue: SupportsFloat | SupportsIndex,
    threads: SupportsInt | SupportsIndex,
    renoise: SupportsFloat | SupportsIndex,
    progress: Callable[[float], object] | None = None,
) -> npt.NDArray[np.float32]:
    """A denoised copy of a float32 image (engine axis order) with Gaussian noise of sigma.

    threads <= 0 counts back from the calling thread's OpenMP setting. About ten times
    a second progress(fraction) is called on the calling thread and pending signals are
    handled; an exception from either stops the run and propagates.
    """

def geometry(
    shape: Sequence[SupportsInt | SupportsIndex],
    patch_radius: Sequence[SupportsInt | SupportsIndex],
    neighborhood_axes: Sequence[SupportsInt | SupportsIndex],
    max_iter: SupportsInt | SupportsIndex,
) -> dict[str, Any]:
    """The engine's geometry for an image of shape (engine axis order).

    'search_radius': per iteration, the search radius along t, z, y, x; 'grid_step' and
    'reach': (t, z, y, x); 'work': the units of work of a run, as its progress counts them.
    """

def wiener(
    noisy: npt.ArrayLike,
    pilot: npt.ArrayLike,
    block: Sequence[SupportsInt | SupportsIndex],
    step: Sequence[SupportsInt | SupportsIndex],
    origin: Sequence[SupportsInt | SupportsIndex],
    threads: SupportsInt | SupportsIndex,
    progress: Callable[[float], object] | None = None,
    floor: SupportsFloat | SupportsIndex = 0.0,
) -> npt.NDArray[np.float32]:
    """The DCT Wiener filter of noisy with pilot (same shape, engine axis order, unit noise).

    Each noisy coefficient is scaled by S / (S + 1), S = max(P**2 - floor, 0), P the pilot's.

    block, step and origin list x, y, z, c, t (c: 1, 1, 0). threads <= 0 counts back from
    the calling thread's OpenMP setting. Progress and signals as for :func:`denoise`; the
    inputs are never written.
    """
