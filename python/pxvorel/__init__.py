"""pxvorel: patch-based denoising of 1-D to 5-D fluorescence microscopy images."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("pxvorel")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0.0.0+unknown"

__all__ = ["__version__"]
