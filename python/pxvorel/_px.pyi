# Types of the native module _px (bindings/module.cpp). Every parameter is
# positional only; images are converted to C-contiguous float32 arrays unless
# they already are one, and have 1 to 5 axes in the engine's order (x fastest).

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
import numpy.typing as npt

__version__: str

def _calibrate_gaussian(image: npt.ArrayLike, /) -> float:
    """Standard deviation of the image's Gaussian noise."""

def _calibrate_poisson_gaussian(image: npt.ArrayLike, /) -> list[list[float]]:
    """The image's noise as [gain, offset], one value of each per channel."""

def _denoise_gaussian(
    image: npt.ArrayLike,
    sigma: SupportsFloat | SupportsIndex,
    patch_radius: Sequence[SupportsInt | SupportsIndex],
    neighborhood_axes: Sequence[SupportsInt | SupportsIndex],
    max_iter: SupportsInt | SupportsIndex,
    pvalue: SupportsFloat | SupportsIndex,
    nthreads: SupportsInt | SupportsIndex,
    renoise: SupportsFloat | SupportsIndex,
    /,
) -> npt.NDArray[np.float32]:
    """A denoised copy of an image with Gaussian noise of standard deviation sigma."""

def _denoise_poisson_gaussian(
    image: npt.ArrayLike,
    sigma: SupportsFloat | SupportsIndex,
    gain: Sequence[SupportsFloat | SupportsIndex],
    offset: Sequence[SupportsFloat | SupportsIndex],
    patch_radius: Sequence[SupportsInt | SupportsIndex],
    neighborhood_axes: Sequence[SupportsInt | SupportsIndex],
    max_iter: SupportsInt | SupportsIndex,
    pvalue: SupportsFloat | SupportsIndex,
    nthreads: SupportsInt | SupportsIndex,
    renoise: SupportsFloat | SupportsIndex,
    /,
) -> npt.NDArray[np.float32]:
    """A denoised copy of an image with Poisson-Gaussian noise of per-channel gain and offset."""

def _pseudoresiduals(image: npt.ArrayLike, /) -> None:
    """Replaces the image's samples by its pseudo-residuals.

    Written in place only when image already is a writeable C-contiguous float32
    array; any other input is converted to a temporary that receives them.
    """

def test(image: npt.ArrayLike, /) -> npt.NDArray[np.float32]:
    """Converts the image to the engine's array and back, reporting each step on standard output."""
