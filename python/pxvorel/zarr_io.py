"""Deprecated: the former name of :mod:`pxvorel.io.zarr` (Zarr, OME-Zarr and large TIFFs as
lazy dask arrays; OME-Zarr writing). Importing it warns; it will be removed."""

import warnings

from pxvorel.io.zarr import is_zarr, open_lazy, prepare_ome_zarr, write_ome_zarr

warnings.warn("pxvorel.zarr_io is deprecated; use pxvorel.io.zarr", DeprecationWarning, stacklevel=2)

__all__ = ["is_zarr", "open_lazy", "prepare_ome_zarr", "write_ome_zarr"]
