"""A pause of Python's cyclic garbage collector around bulk work."""

import contextlib
import gc

__all__ = ["collector_paused"]


@contextlib.contextmanager
def collector_paused():
    """Reading a netlist and setting up a run make many small objects and free
    none of them: the collector's passes over them would only make the time grow
    faster than the circuit."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()
