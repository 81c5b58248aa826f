"""Stopping the command line cleanly on SIGINT and SIGTERM.

Both signals raise an exception in the main thread, so that every ``finally`` runs
(a half-written temporary file is removed) before the process exits with 128 plus
the signal number. The engine handles pending signals about ten times a second, so
this takes effect within a fraction of a second at any stage.
"""

from __future__ import annotations

import signal
import threading
from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager, contextmanager
from types import FrameType


class Stopped(BaseException):
    """A stop signal arrived; `status` is the exit status it calls for (128 + signal number)."""

    def __init__(self, signum: int) -> None:
        super().__init__(f"stopped by {signal.Signals(signum).name}")
        self.status = 128 + signum


def _raise_stopped(signum: int, _frame: FrameType | None) -> None:
    # A second Ctrl-C (impatient, or sent by a wrapper as well as the terminal) must not
    # interrupt the clean-up that the first one starts: later signals are ignored.
    for other in (signal.SIGINT, signal.SIGTERM):
        if signal.getsignal(other) is _raise_stopped:
            signal.signal(other, signal.SIG_IGN)
    raise Stopped(signum)


@contextmanager
def _handled_by(handler: signal.Handlers | Callable[[int, FrameType | None], None]) -> Iterator[None]:
    """SIGINT and SIGTERM go to `handler` within the block (in the main thread only; a signal
    the process was started ignoring, as by a background job or nohup, stays ignored)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {
        signum: signal.signal(signum, handler)
        for signum in (signal.SIGINT, signal.SIGTERM)
        if signal.getsignal(signum) is not signal.SIG_IGN
    }
    try:
        yield
    finally:
        for signum, old in previous.items():
            signal.signal(signum, old)


def stop_on_signals() -> AbstractContextManager[None]:
    """Within the block, SIGINT and SIGTERM raise :class:`Stopped`."""
    return _handled_by(_raise_stopped)


def ending_the_process_on_signals() -> AbstractContextManager[None]:
    """Within the block, SIGINT and SIGTERM end the process at once (their default action).

    For a stage that writes nothing but may hold the interpreter lock in one long native
    call, during which a Python handler could not run: the calibration of the noise model.
    """
    return _handled_by(signal.SIG_DFL)
