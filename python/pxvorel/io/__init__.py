"""Image files: TIFF (ImageJ hyperstacks, OME-TIFF, plain) and ``.npy`` read whole with
their axes and pixel sizes (:mod:`pxvorel.io.tiff`); Zarr, OME-Zarr and large TIFFs opened
lazily and OME-Zarr written chunk by chunk (:mod:`pxvorel.io.zarr`). Both give an
:class:`ImageFile` (:mod:`pxvorel.io.image`), its pixel sizes in micrometres and seconds
(:mod:`pxvorel.io.units`) as read from the metadata (:mod:`pxvorel.io.metadata`), with
the names, colours, display ranges and other details the writers put back
(:mod:`pxvorel.io.details`, :mod:`pxvorel.io.ome`), and write atomically
(:mod:`pxvorel.io.atomic`)."""

from pxvorel.io.details import ImageDetails
from pxvorel.io.image import ImageFile
from pxvorel.io.tiff import read_image, series_count, write_image

__all__ = ["ImageDetails", "ImageFile", "read_image", "series_count", "write_image"]
