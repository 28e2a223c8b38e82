"""Exceptions raised by the circuit description and the transient driver."""

__all__ = [
    "AnalysisError",
    "RECORDING",
    "STEPS",
    "CircuitError",
    "ConvergenceError",
    "QuotedError",
    "RunLimitError",
    "RunStopped",
    "SimulationError",
    "SingularMatrixError",
    "StartupWarning",
    "UserError",
    "non_finite_reason",
]


#: the limits a run may reach: its step count (``max_steps``) and the size of
#: its recording
STEPS, RECORDING = "steps", "recording"


class CircuitError(ValueError):
    """The circuit description is invalid (bad value, duplicate name, floating node...).

    ``option`` names the run option at fault when one is (else None).  A run
    refused because it would exceed a limit has ``limit`` (:data:`STEPS` or
    :data:`RECORDING`) and ``reached``, the message's statement of the limit
    without its advice on what to change.
    """

    def __init__(self, *args, option=None, limit=None, reached=None):
        super().__init__(*args)
        self.option, self.limit, self.reached = option, limit, reached


class UserError(ValueError):
    """A mistake in what the user gave: a command-line argument, an option's value,
    a file named for input or output.  Reported in one line, never as a fault."""


class AnalysisError(RuntimeError):
    """An analysis cannot go on with a well-formed input: its nominal run fails, the
    cell does not behave as a cell, the Dask cluster is out of reach."""


class QuotedError(CircuitError):
    """A :class:`CircuitError` that quotes values: ``template`` places each of
    ``quoted``, ``(name, value, format)`` triples, at its field ``{q0}``,
    ``{q1}``...; ``name`` says which quantity it is (``"dt"``, ``"resistance of
    R1"``), so that a layer that took the value in other units can say it as it
    was written (:meth:`quoting`).  ``option`` and ``limit`` as for
    :class:`CircuitError`; ``reached`` is given as a template with the same
    fields."""

    def __init__(self, template, quoted, shown=None, *, option=None, limit=None, reached=None):
        self.template, self.quoted, self.shown = template, tuple(quoted), dict(shown or {})
        self.reached_template = reached
        super().__init__(
            self._render(template),
            option=option,
            limit=limit,
            reached=reached and self._render(reached),
        )

    def __reduce__(self):  # pickled whole, so that it crosses to and from worker processes
        return type(self), (self.template, self.quoted, self.shown), self.__dict__

    def _render(self, template):
        fields = {
            f"q{k}": self.shown[name] if name in self.shown else format(value, form)
            for k, (name, value, form) in enumerate(self.quoted)
        }
        return template.format(**fields)

    def quoting(self, shown):
        """The same error with the values named in ``shown`` ({name: text}) written
        as that text."""
        error = QuotedError(self.template, self.quoted, shown, reached=self.reached_template)
        error.option, error.limit = self.option, self.limit
        return error


def quote_name(text):
    """``text`` safe inside a :class:`QuotedError` template."""
    return str(text).replace("{", "{{").replace("}", "}}")


class SimulationError(RuntimeError):
    """A transient simulation could not continue.

    ``time`` is the simulation time of the step that failed.  A step that
    failed at every size also carries ``step``, the smallest size tried, and
    ``reason``, why its last try failed (both in the message too).
    """

    def __init__(self, message, time=None, *, step=None, reason=None):
        super().__init__(message)
        self.time, self.step, self.reason = time, step, reason


class ConvergenceError(SimulationError):
    """Newton's iteration did not converge, even at the smallest allowed time step."""


class SingularMatrixError(SimulationError):
    """The system matrix could not be factored."""


class RunLimitError(SimulationError):
    """A run reached a limit on its steps or on its recording before its end.

    ``limit`` is the limit reached (:data:`STEPS` or :data:`RECORDING`),
    ``time`` the simulation time reached; ``results`` holds what was recorded
    up to there (None while the engine hands the error up); ``reached`` is the
    message's statement of the limit without its advice on what to change.
    """

    def __init__(self, message, time=None, results=None, *, limit=None, reached=None):
        super().__init__(message, time)
        self.results, self.limit, self.reached = results, limit, reached
        self.tables = None


class RunStopped(SimulationError):
    """The run's stop rule ended it: it had failed its criterion (see
    :mod:`loxant.simulation.stop_rule`).  ``report`` says what failed: ``kind``,
    the position of the ``junction`` among the rule's, the switch or line
    ``index``, the ``time`` (the rule's unit), a ``value`` (the switch's time, or
    the turns counted) and the ``phase`` there (counts)."""

    def __init__(self, message, time=None, report=None):
        super().__init__(message, time)
        self.report = dict(report or {})


def non_finite_reason(culprits):
    """Why a step failed with a non-finite correction, naming the elements whose
    own terms were not finite there (if any were found)."""
    if not culprits:
        return "non-finite correction"
    return (
        f"non-finite correction: the current or matrix terms of {', '.join(culprits)} are not "
        "finite (check the parameters)"
    )


class StartupWarning(UserWarning):
    """The start-up period before t = 0 ended with the circuit still moving: the
    run starts from a state that is not at rest."""
