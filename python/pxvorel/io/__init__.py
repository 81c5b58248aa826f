"""Image files: TIFF (ImageJ hyperstacks, OME-TIFF, plain) and ``.npy`` read whole with
their axes and pixel sizes (:mod:`pxvorel.io.tiff`); Zarr, OME-Zarr and large TIFFs opened
lazily and OME-Zarr written chunk by chunk (:mod:`pxvorel.io.zarr`). Both give an
:class:`ImageFile` (:mod:`pxvorel.io.image`), its pixel sizes in micrometres and seconds
(:mod:`pxvorel.io.units`) as read from the metadata (:mod:`pxvorel.io.metadata`), and
write atomically (:mod:`pxvorel.io.atomic`)."""

from pxvorel.io.image import ImageFile
from pxvorel.io.tiff import read_image, write_image

__all__ = ["ImageFile", "read_image", "write_image"]
