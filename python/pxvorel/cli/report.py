"""What the command line tells the user on standard error: stage lines with their
durations, warnings as single lines, and a one-line description of an image."""

from __future__ import annotations

import logging
import sys
import time
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import TextIO

from pxvorel.io import ImageFile


@dataclass
class Reporter:
    """Progress lines on standard error, each with the time it took."""

    quiet: bool = False
    stream: TextIO = field(default_factory=lambda: sys.stderr)

    def info(self, message: str) -> None:
        if not self.quiet:
            print(f"pxvorel: {message}", file=self.stream, flush=True)

    def warning(self, message: str) -> None:
        print(f"pxvorel: warning: {message}", file=self.stream, flush=True)

    @contextmanager
    def stage(self, doing: str) -> Iterator[None]:
        """Announce a stage, then report its duration."""
        self.info(f"{doing} ...")
        start = time.perf_counter()
        yield
        self.info(f"{doing}: done in {time.perf_counter() - start:.2f} s")

    @contextmanager
    def showing_logs(self) -> Iterator[None]:
        """Within the block, the package's log messages of level INFO and above are lines here."""
        reporter = self

        class Lines(logging.Handler):
            def emit(self, record: logging.LogRecord) -> None:
                if record.levelno >= logging.WARNING:
                    reporter.warning(record.getMessage())
                else:
                    reporter.info(record.getMessage())

        logger, handler = logging.getLogger("pxvorel"), Lines()
        level = logger.level
        logger.addHandler(handler)
        logger.setLevel(logging.INFO)
        try:
            yield
        finally:
            logger.removeHandler(handler)
            logger.setLevel(level)

    @contextmanager
    def warnings_as_lines(self) -> Iterator[None]:
        """Show Python warnings as single 'pxvorel: warning:' lines."""
        with warnings.catch_warnings():
            warnings.simplefilter("always")
            warnings.showwarning = lambda message, *_args, **_kw: self.warning(str(message))
            yield


def describe_image(image: ImageFile) -> str:
    shape = " x ".join(f"{n}{a}" for a, n in zip(image.axes, image.data.shape, strict=True))
    text = f"{shape} {image.data.dtype}, axes {image.axes}"
    sizes = [f"{a} {image.spacing[a]:g} {'s' if a == 'T' else image.unit or ''}".rstrip()
             for a in "XYZT" if a in image.spacing]
    return text + (f", pixel size {', '.join(sizes)}" if sizes else "")


