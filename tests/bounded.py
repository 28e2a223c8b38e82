"""Bounded run time for tests of work that must stay bounded: a ``progress``
callback that stops a simulation once its time is up, and a limit for any
other call."""

import contextlib
import signal
import time


class TimeUp(Exception):
    """The bounded work ran past its time."""


def deadline(seconds):
    """A ``progress=`` callback of :func:`loxant.simulate` that stops the run with
    :class:`TimeUp` after ``seconds`` of wall time."""
    end = time.monotonic() + seconds

    def progress(_t):
        if time.monotonic() > end:
            raise TimeUp(f"the run took more than {seconds} s")

    return progress


@contextlib.contextmanager
def time_limit(seconds):
    """Raises :class:`TimeUp` in the main thread after ``seconds`` (a signal: it
    interrupts Python code, and native code at its next check for signals)."""

    def expire(_signum, _frame):
        raise TimeUp(f"took more than {seconds} s")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
