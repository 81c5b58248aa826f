"""pxvorel: patch-based denoising of 1-D to 5-D fluorescence microscopy images.

The main entry points are :func:`denoise`, :func:`estimate_noise` and
:func:`estimate_sigma`; :mod:`pxvorel.io` reads and writes TIFF, OME-TIFF, ImageJ
hyperstacks and ``.npy`` files with their axes and pixel sizes, and
:mod:`pxvorel.io.zarr` opens Zarr, OME-Zarr and large TIFFs lazily as dask arrays
and writes OME-Zarr.
"""

from pxvorel.api import denoise
from pxvorel.core.version import __version__
from pxvorel.io import ImageFile, read_image, write_image
from pxvorel.noise.choose import estimate_noise, estimate_sigma
from pxvorel.noise.model import NoiseModel
from pxvorel.quality.estimate import QualityEstimate
from pxvorel.quality.report import RunReport

__all__ = [
    "ImageFile",
    "NoiseModel",
    "QualityEstimate",
    "RunReport",
    "__version__",
    "denoise",
    "estimate_noise",
    "estimate_sigma",
    "read_image",
    "write_image",
]
