"""pxvorel: patch-based denoising of 1-D to 5-D fluorescence microscopy images.

The main entry points are :func:`denoise`, :func:`estimate_noise` and
:func:`estimate_sigma`; :mod:`pxvorel.io` reads and writes TIFF, OME-TIFF, ImageJ
hyperstacks and ``.npy`` files with their axes and pixel sizes, and
:mod:`pxvorel.zarr_io` opens Zarr, OME-Zarr and large TIFFs lazily as dask arrays
and writes OME-Zarr.
"""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("pxvorel")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0.0.0+unknown"

from pxvorel._denoise import denoise
from pxvorel._noise import NoiseModel, estimate_noise, estimate_sigma
from pxvorel.io import ImageFile, read_image, write_image

__all__ = [
    "ImageFile",
    "NoiseModel",
    "__version__",
    "denoise",
    "estimate_noise",
    "estimate_sigma",
    "read_image",
    "write_image",
]
