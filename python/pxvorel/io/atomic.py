"""Writing a file or folder atomically: into a temporary name beside the target, then moved into place.

An interrupted or failed write leaves the target as it was (absent, or the old file)
and removes what it wrote; a complete one appears under the target's name in one step.
"""

from __future__ import annotations

import contextlib
import logging
import os
import secrets
import shutil
from pathlib import Path
from types import TracebackType

__all__ = ["AtomicTarget"]

log = logging.getLogger(__name__)


def _exists_error(path: Path) -> FileExistsError:
    return FileExistsError(f"{path} exists; choose another name or allow overwriting")


def _remove(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(FileNotFoundError):
            path.unlink()


class AtomicTarget:
    """A temporary path (`tmp`) to write to, which :meth:`commit` moves to `path`.

    Used as a context manager it commits when the block completes and abandons the
    temporary file or folder when the block raises.

    Parameters
    ----------
    path : pathlib.Path
        The target file or folder. Its folder must exist.
    overwrite : bool
        Whether an existing target may be replaced.

    Raises
    ------
    FileExistsError
        When `path` exists and `overwrite` is False (checked again when committing).
    FileNotFoundError
        When the folder of `path` does not exist.

    Examples
    --------
    >>> with AtomicTarget(Path("out.txt"), overwrite=False) as target:  # doctest: +SKIP
    ...     target.tmp.write_text("complete")
    """

    def __init__(self, path: Path, *, overwrite: bool) -> None:
        self.path, self.overwrite = Path(path), overwrite
        if self.path.exists() and not overwrite:
            raise _exists_error(self.path)
        if not self.path.parent.is_dir():
            raise FileNotFoundError(f"output folder {self.path.parent} does not exist")
        self.tmp = self.path.with_name(f".{self.path.name}.{secrets.token_hex(4)}.part")

    def __enter__(self) -> AtomicTarget:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        if kind is None:
            self.commit()
        else:
            self.abandon()

    def commit(self) -> Path:
        """Move the complete temporary file or folder to the target; abandon it if that fails."""
        try:
            if self.tmp.is_dir():
                self._move_folder()
            else:
                self._move_file()
        except BaseException:
            self.abandon()
            raise
        return self.path

    def abandon(self) -> None:
        """Remove the temporary file or folder (if any)."""
        _remove(self.tmp)

    def _move_file(self) -> None:
        if self.overwrite:
            os.replace(self.tmp, self.path)
            return
        try:
            os.link(self.tmp, self.path)  # fails if the target exists, even if it appeared meanwhile
        except FileExistsError:
            raise _exists_error(self.path) from None
        except OSError:  # a file system without hard links
            if self.path.exists():
                raise _exists_error(self.path) from None
            os.replace(self.tmp, self.path)
            return
        self.tmp.unlink()

    def _move_folder(self) -> None:
        if not self.path.exists():
            os.rename(self.tmp, self.path)
            return
        if not self.overwrite:
            raise _exists_error(self.path)
        old = self.path.with_name(f".{self.path.name}.{secrets.token_hex(4)}.old")
        os.rename(self.path, old)
        try:
            os.rename(self.tmp, self.path)
        except BaseException:
            os.rename(old, self.path)  # put the old target back
            raise
        log.debug("replaced %s; removing the old copy", self.path)
        _remove(old)
