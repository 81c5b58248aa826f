"""Stopping block tasks whose result nobody waits for any more.

A dask scheduler cannot interrupt a task that is running: after Ctrl-C (or any error)
in the caller's ``compute``, the blocks already running would go on to their end,
keeping the cores busy and the process from exiting. Each block's engine run therefore
asks, about ten times a second, whether its result is still wanted, and stops when it
is not:

- on a ``dask.distributed`` worker, once the scheduler has released the task (the
  client was interrupted or cancelled its futures);
- on the local schedulers (threads, synchronous), once a computation holding blocks has
  ended with an error after the block started. A dask callback, registered the first
  time a graph of blocks is built, notes such endings. Graph optimisation renames the
  tasks (fused names keep the blocks' name within them), so blocks are told apart from
  other tasks by name but not from the blocks of another computation: two computations
  of blocks at once in one process, one failing, stop each other.

A block computed again later (the caller retries) starts after the ending and runs.
"""

from __future__ import annotations

import math
import threading
import time
from collections.abc import Callable, Hashable, Mapping

from dask.callbacks import Callback

#: The name that every block task's key starts with (and that fused task names contain).
BLOCK_NAME = "pxvorel-block"


class BlockAbandoned(RuntimeError):
    """Raised inside a block task whose result is no longer wanted."""

    def __init__(self) -> None:
        super().__init__("the computation of this block was abandoned")


class _EndedWithError(Callback):
    """Notes when a local computation holding blocks last ended with an error."""

    def __init__(self) -> None:
        super().__init__()  # type: ignore[no-untyped-call]  # dask's Callback.__init__ is unannotated
        self.ended = -math.inf

    def _finish(self, dsk: Mapping[Hashable, object], state: object, errored: bool) -> None:
        if errored and any(BLOCK_NAME in str(key[0] if isinstance(key, tuple) and key else key) for key in dsk):
            self.ended = time.monotonic()


#: The process's one record of failed local computations (registered with dask on first use).
_ENDINGS = _EndedWithError()
_registration_lock = threading.Lock()


def watch_local_computations() -> None:
    """Register the callback that notes failed local computations (once per process)."""
    with _registration_lock:
        if _ENDINGS._callback not in Callback.active:
            _ENDINGS.register()


def _distributed_task() -> Callable[[], bool] | None:
    """On a distributed worker's task thread: a test of whether this task is still wanted."""
    try:
        from distributed.worker import get_worker, thread_state
    except ImportError:
        return None
    try:
        worker, key = get_worker(), thread_state.key
    except (ValueError, AttributeError):
        return None

    def wanted() -> bool:
        task = worker.state.tasks.get(key)
        return task is not None and task.state not in ("cancelled", "released", "forgotten")

    return wanted


def stop_when_abandoned() -> Callable[[float], None]:
    """A progress callback for one block's engine run: raises :class:`BlockAbandoned`
    once nobody waits for the block's result."""
    started = time.monotonic()
    wanted = _distributed_task()
    if wanted is None:

        def wanted() -> bool:
            return _ENDINGS.ended <= started

    def check(_fraction: float) -> None:
        if not wanted():
            raise BlockAbandoned

    return check
