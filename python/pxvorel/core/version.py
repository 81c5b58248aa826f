"""The installed package's version."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("pxvorel")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0.0.0+unknown"
