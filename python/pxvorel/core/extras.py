"""Optional dependencies: a clear message naming the extra that brings a missing one.

The core install (NumPy, tifffile, pint, tqdm, threadpoolctl) reads, denoises and writes
images in memory. Chunked and Zarr data, the demo and the noise figure need more; they
import it through :func:`require`, which turns a missing package into
:class:`MissingExtraError` with the ``pip install`` line that brings it.
"""

from __future__ import annotations

import importlib
from types import ModuleType

#: The extra that brings each optional top-level package.
EXTRA_OF = {
    "dask": "dask",
    "zarr": "dask",
    "distributed": "dask",
    "matplotlib": "plot",
    "skimage": "demo",
    "napari": "napari",
}


class MissingExtraError(ImportError):
    """An optional dependency is not installed; the message says how to install it."""


def require(module: str, purpose: str, extra: str | None = None) -> ModuleType:
    """Import `module` (a dotted name), or raise :class:`MissingExtraError` naming `extra`
    (by default the extra that brings the missing package).

    Examples
    --------
    >>> require("numpy", "arrays").__name__
    'numpy'
    """
    try:
        return importlib.import_module(module)
    except ImportError as error:
        top = module.partition(".")[0]
        missing = (error.name or top).partition(".")[0]
        extra = extra or EXTRA_OF.get(missing, EXTRA_OF.get(top))
        hint = f"pip install 'pxvorel[{extra}]'" if extra else f"pip install {missing}"
        raise MissingExtraError(
            f"{purpose} needs {missing}, which is not installed; install it with: {hint}", name=missing
        ) from None
