"""The engines a run can take, by name: the native loop (the default) and the
Python reference loop.  Each loads what it needs first (``prepare``, before
anything is built) and then runs a described system (``execute(system, plan,
options, limits)``, returning the :class:`~loxant.simulation.results.Results`)."""

import importlib
from collections.abc import Callable
from typing import NamedTuple

from . import native

__all__ = ["ENGINES", "Engine"]


class Engine(NamedTuple):
    prepare: Callable
    execute: Callable


def _reference():
    """The Python loop, loaded on its first run: a native run does without it."""
    return importlib.import_module("loxant.simulation.reference")


def _reference_prepare():
    return _reference().prepare()


def _reference_execute(system, plan, options, limits):
    return _reference().execute(system, plan, options, limits)


#: engines by the name ``simulate(..., engine=...)`` takes
ENGINES = {
    "native": Engine(native.prepare, native.execute),
    "python": Engine(_reference_prepare, _reference_execute),
}
