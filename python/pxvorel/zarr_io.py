"""Zarr, OME-Zarr and large TIFFs as lazy dask arrays; OME-Zarr writing. The same as
:mod:`pxvorel.io.zarr`, under the name it was first published with."""

from pxvorel.io.zarr import LazyImage, is_zarr, open_lazy, prepare_ome_zarr, write_ome_zarr

__all__ = ["LazyImage", "is_zarr", "open_lazy", "prepare_ome_zarr", "write_ome_zarr"]
