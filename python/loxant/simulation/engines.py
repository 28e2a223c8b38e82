"""The engines a run can take, by name: the native loop (the default) and the
Python reference loop.

What every engine does
----------------------
An engine is two callables.  ``prepare()`` loads what the engine needs, before
anything is built, so that a missing build fails first.  ``execute(system,
plan, options, limits)`` runs a described :class:`~loxant.simulation.assembly.System`
under checked :class:`~loxant.simulation.options.RunOptions` and returns its
:class:`~loxant.simulation.results.Results`.  Every engine keeps these rules;
``tests/engine/test_engine_contract.py`` holds each of them, run over every
entry of :data:`ENGINES`:

Options
    Every option is checked before ``execute`` (by ``RunOptions.check``, and
    against the system by ``RunOptions.limits``): an engine is never handed
    an option it must refuse, and refuses none.

Start and t = 0
    Every unknown starts at rest (phases, voltages and branch currents 0).
    With ``settle_steps`` the engine first takes that many steps of
    ``options.grid`` from t = -settle_steps * grid to 0, the sources evaluated
    at those times and the junctions' voltage history held at zero, records
    nothing, and starts the run from the state reached.  The state at t = 0 is
    the first row when ``record_from <= 0``.

Steps and the recording
    Each step is variable-step BDF2 (the first after the start backward
    Euler), solved by Newton's method to ``abstol + reltol |x|``.  A fixed step
    records every ``record_every``-th point of the dt grid at or after
    ``record_from``, the last at t_stop; a step that fails is retried at half
    the size down to ``dt_min``, and retries move no sample.  An adaptive step
    keeps a step whose local error passes ``atol + rtol |phase|``, lands on
    every breakpoint of ``options.breakpoints``, and records every
    ``record_every``-th accepted step.

Noise hold
    In an adaptive run every noise current holds its value over
    ``options.noise_step``; the steps land on its multiples, and the error
    estimate leaves out what the noise drives.

Statistics
    ``results.stats`` holds at least ``steps`` (accepted, the start-up period
    apart), ``rejected``, ``iterations``, ``max_iterations`` (of one step, at
    most the option), ``matrix_builds``, ``factorisations`` and
    ``refactorisations``; with ``settle_steps`` also ``settle_steps`` (its
    accepted steps) and ``settle_motion`` (the largest change of a node
    voltage another period would bring at the rate it ended on).  An engine may
    add its own counters.

Failure
    A step that fails at every size down to ``dt_min`` ends the run with
    :class:`~loxant.errors.SingularMatrixError` (the matrix could not be
    factored) or :class:`~loxant.errors.ConvergenceError`: ``time`` the start
    of that step, ``step`` the smallest size tried, ``reason`` why its last try
    failed, and the message ``step from t = <time> failed at every step size
    down to <step>: <reason>``.  Runs of the same circuit may fail at other
    times in different engines (their iterations differ).

Limits
    An adaptive run whose steps (accepted and rejected) reach ``max_steps``,
    and a run whose recording would pass ``limits.max_rows``, stop with
    :class:`~loxant.errors.RunLimitError` (``limit`` :data:`~loxant.errors.STEPS`
    or :data:`~loxant.errors.RECORDING`), its ``results`` what was recorded:
    ``limits.error`` builds it from the engine's ``RunLimitError`` carrying
    ``tables`` and ``stats``.

Progress
    ``options.progress``, when given, is called with the simulation time about
    ten times a second of wall time.

The two engines
---------------
The native loop is the engine of record.  The Python loop
(:mod:`~loxant.simulation.reference` over the integrator of
:mod:`~loxant.simulation.integrator`) is its oracle: it solves each step with
a full Newton iteration and assembles everything at every iteration, where the
native loop predicts to third order, keeps its factorisation and updates only
what changed, so the two agree to the Newton tolerance (not bit for bit).  Per
feature, whether the oracle needs its own implementation:

- fixed step, retries, Newton: yes, the native loop's shortcuts are checked
  against it (``tests/engine/test_native_equivalence.py``);
- adaptive step and breakpoints: yes, the step sequences of both are compared
  (``tests/engine/test_adaptive.py``);
- noise hold: yes, the native judge of a step after a change of the noise is
  compared step for step;
- start-up period: yes, its state at t = 0 feeds every comparison of a
  settled run;
- limits and progress: the contract asks them of every engine; a few lines
  each, no oracle of the other.
"""

import importlib
from collections.abc import Callable
from typing import NamedTuple

from . import native

__all__ = ["ENGINES", "Engine"]


class Engine(NamedTuple):
    prepare: Callable
    execute: Callable
    #: runs a circuit's blocks of plain elements as they are (else unpacked)
    takes_blocks: bool = False


def _reference():
    """The Python loop, loaded on its first run: a native run does without it."""
    return importlib.import_module("loxant.simulation.reference")


def _reference_prepare():
    return _reference().prepare()


def _reference_execute(system, plan, options, limits):
    return _reference().execute(system, plan, options, limits)


#: engines by the name ``simulate(..., engine=...)`` takes
ENGINES = {
    "native": Engine(native.prepare, native.execute, takes_blocks=True),
    "python": Engine(_reference_prepare, _reference_execute),
}
