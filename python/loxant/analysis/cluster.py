"""Connecting the runner to a Dask cluster, in bounded time.

A scheduler address is first asked for Dask's greeting (the handshake that a
scheduler sends to whoever connects), with a deadline: Dask's own client waits
for it without one, so an address where something else listens (a web server,
a port forward to nothing) would hang the analysis.  Nothing listening and no
greeting both give :class:`OSError` after :data:`SCHEDULER_TIMEOUT` seconds at
most.  The errors the runner raises for a cluster (:class:`SchedulerError`,
:class:`ClusterLost`) are defined here too.
"""

import asyncio
import contextlib
import logging
import os
import threading

from ..errors import AnalysisError

__all__ = [
    "SCHEDULER_TIMEOUT",
    "ClusterLost",
    "SchedulerError",
    "connect",
    "cores",
    "probe_scheduler",
    "quiet_dask",
]

#: seconds a scheduler address has to answer, and a lost scheduler to come back
SCHEDULER_TIMEOUT = 10.0


class SchedulerError(AnalysisError):
    """The cluster the runs were to go to cannot be reached."""


class ClusterLost(SchedulerError):
    """The cluster went away in the middle of the runs.  ``done`` runs had
    finished out of ``total``; an analysis that keeps what finished sets
    ``partial`` to its result over them."""

    def __init__(self, message, done=0, total=0):
        super().__init__(message)
        self.done, self.total = done, total
        self.partial = None


@contextlib.contextmanager
def quiet_dask(quiet):
    """Dask's log silenced while ``quiet``."""
    if not quiet:
        yield
        return
    logging.disable(logging.CRITICAL)
    try:
        yield
    finally:
        logging.disable(logging.NOTSET)


def cores():
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


def probe_scheduler(address, timeout=None):
    """Raise OSError unless a Dask scheduler answers at ``address`` (``tcp://``
    or ``host:port``) within ``timeout`` seconds.  Other protocols (TLS, which
    needs the cluster's certificates) are left to Dask."""
    timeout = SCHEDULER_TIMEOUT if timeout is None else timeout
    if "://" in address and not address.startswith("tcp://"):
        return
    failure = []

    async def greet():
        from distributed.comm import connect as open_comm

        comm = await asyncio.wait_for(open_comm(address, timeout=timeout), timeout)
        await comm.close()

    def attempt():
        try:
            asyncio.run(greet())
        except BaseException as exc:  # reported to the caller's thread
            failure.append(exc)

    # a thread of its own: the caller may be inside a running event loop (Jupyter)
    thread = threading.Thread(target=attempt, name="loxant-scheduler-probe", daemon=True)
    thread.start()
    thread.join(timeout + 5.0)
    if thread.is_alive() or failure:
        cause = failure[0] if failure else None
        if isinstance(cause, (asyncio.TimeoutError, TimeoutError)) or cause is None:
            detail = f"no Dask scheduler answered within {timeout:g} s"
        else:
            detail = f"{type(cause).__name__}: {cause}" if str(cause) else type(cause).__name__
        raise OSError(detail)


def free_cores(cores):
    """Cores that other work leaves free: the cores less the load average over
    the last minute, this process's own run counted out; all of them where the
    load cannot be read."""
    try:
        load = os.getloadavg()[0]
    except (OSError, AttributeError):  # not on every platform
        return float(cores)
    return max(float(cores) - max(load - 1.0, 0.0), 0.0)


def connect(client, owned):
    """A distributed.Client for ``client`` (None, ``"local"``, a Client, a
    cluster object or a scheduler address), or None; what is opened here goes to
    ``owned`` for the caller to close."""
    if client is None:
        return None
    from distributed import Client

    if isinstance(client, Client):
        return client
    if client == "local":
        from distributed import LocalCluster

        cluster = LocalCluster(
            n_workers=cores(),
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
        )
        owned.append(cluster)
        client = cluster
    if isinstance(client, str) or hasattr(client, "scheduler_address"):
        if isinstance(client, str):
            probe_scheduler(client)
        connected = Client(client, timeout=SCHEDULER_TIMEOUT)
        owned.append(connected)
        return connected
    raise TypeError(
        f"client must be None, 'local', a distributed.Client or a scheduler address, "
        f"got {type(client).__name__}"
    )
