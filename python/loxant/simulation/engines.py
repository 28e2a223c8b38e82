"""The engines a run can take, by name: the native loop (the default) and the
Python reference loop.  Each loads what it needs first (``prepare``, before
anything is built) and then runs a described system (``execute(system, plan,
options, limits)``, returning the :class:`~loxant.simulation.results.Results`)."""

from collections.abc import Callable
from typing import NamedTuple

from . import native, reference

__all__ = ["ENGINES", "Engine"]


class Engine(NamedTuple):
    prepare: Callable
    execute: Callable


#: engines by the name ``simulate(..., engine=...)`` takes
ENGINES = {
    "native": Engine(native.prepare, native.execute),
    "python": Engine(reference.prepare, reference.execute),
}
