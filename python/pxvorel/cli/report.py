"""What the command line tells the user on standard error.

Messages go through :mod:`logging` (each module logs on its own logger under
``pxvorel``); :meth:`Console.messages` shows them for the duration of a command as
``pxvorel: ...`` lines, warnings as ``pxvorel: warning: ...``, and only the warnings
when quiet. Progress bars and lines go to the same stream.
"""

from __future__ import annotations

import logging
import sys
import time
import warnings
from collections.abc import Iterator
from contextlib import AbstractContextManager, contextmanager
from dataclasses import dataclass, field
from typing import TextIO

from pxvorel.io import ImageFile
from pxvorel.run.progress import Fractions, on_stream


class _Lines(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        kind = "warning: " if record.levelno >= logging.WARNING else ""
        return f"pxvorel: {kind}{record.getMessage()}"


@dataclass(frozen=True)
class Console:
    """The stream the command line writes its messages and progress to, and whether it is quiet."""

    quiet: bool = False
    stream: TextIO = field(default_factory=lambda: sys.stderr)

    @contextmanager
    def messages(self) -> Iterator[None]:
        """Within the block: the package's log records and Python warnings as lines on the stream."""
        logger = logging.getLogger("pxvorel")
        handler = logging.StreamHandler(self.stream)
        handler.setFormatter(_Lines())
        handler.setLevel(logging.WARNING if self.quiet else logging.INFO)
        level, propagate = logger.level, logger.propagate
        logger.addHandler(handler)
        logger.setLevel(logging.INFO)
        logger.propagate = False
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("always")
                warnings.showwarning = lambda message, *_args, **_kw: logger.warning(str(message))
                yield
        finally:
            logger.removeHandler(handler)
            logger.setLevel(level)
            logger.propagate = propagate

    def progress(self, description: str) -> AbstractContextManager[Fractions | None]:
        """A bar on a terminal, percentage lines elsewhere, nothing when quiet."""
        return on_stream(self.stream, description, quiet=self.quiet)


@contextmanager
def stage(log: logging.Logger, doing: str) -> Iterator[None]:
    """Announce a stage, then log its duration."""
    log.info("%s ...", doing)
    start = time.perf_counter()
    yield
    log.info("%s: done in %.2f s", doing, time.perf_counter() - start)


def describe_image(image: ImageFile) -> str:
    shape = " x ".join(f"{n}{a}" for a, n in zip(image.axes, image.data.shape, strict=True))
    text = f"{shape} {image.data.dtype}, axes {image.axes}"
    sizes = [
        f"{a} {image.spacing[a]:g} {'s' if a == 'T' else image.unit or ''}".rstrip()
        for a in "XYZT"
        if a in image.spacing
    ]
    return text + (f", pixel size {', '.join(sizes)}" if sizes else "")
