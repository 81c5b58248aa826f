"""Image files: TIFF (ImageJ hyperstacks, OME-TIFF, plain) and ``.npy`` read whole with
their axes and pixel sizes (:mod:`pxvorel.io.tiff`); Zarr, OME-Zarr and large TIFFs opened
lazily and OME-Zarr written chunk by chunk (:mod:`pxvorel.io.zarr`)."""

from pxvorel.io.tiff import ImageFile, read_image, write_image

__all__ = ["ImageFile", "read_image", "write_image"]
