"""Exceptions raised by the circuit description and the transient driver."""

__all__ = [
    "CircuitError",
    "ConvergenceError",
    "QuotedError",
    "RunLimitError",
    "SimulationError",
    "SingularMatrixError",
    "StartupWarning",
    "non_finite_reason",
]


class CircuitError(ValueError):
    """The circuit description is invalid (bad value, duplicate name, floating node...)."""


class QuotedError(CircuitError):
    """A :class:`CircuitError` that quotes values: ``template`` places each of
    ``quoted``, ``(name, value, format spec)`` triples, at its field ``{q0}``,
    ``{q1}``...; ``name`` says which quantity it is (``"dt"``, ``"resistance of
    R1"``), so that a layer that took the value in other units can say it as it
    was written (:meth:`quoting`)."""

    def __init__(self, template, quoted, shown=None):
        self.template, self.quoted, self.shown = template, tuple(quoted), dict(shown or {})
        super().__init__(self._render(self.shown))

    def __reduce__(self):  # pickled whole, so that it crosses to and from worker processes
        return type(self), (self.template, self.quoted, self.shown)

    def _render(self, shown):
        fields = {
            f"q{k}": shown[name] if name in shown else format(value, spec)
            for k, (name, value, spec) in enumerate(self.quoted)
        }
        return self.template.format(**fields)

    def quoting(self, shown):
        """The same error with the values named in ``shown`` ({name: text}) written
        as that text."""
        return QuotedError(self.template, self.quoted, shown)


def quote_name(text):
    """``text`` safe inside a :class:`QuotedError` template."""
    return str(text).replace("{", "{{").replace("}", "}}")


class SimulationError(RuntimeError):
    """A transient simulation could not continue.

    ``time`` is the simulation time of the step that failed.
    """

    def __init__(self, message, time=None):
        super().__init__(message)
        self.time = time


class ConvergenceError(SimulationError):
    """Newton's iteration did not converge, even at the smallest allowed time step."""


class SingularMatrixError(SimulationError):
    """The system matrix could not be factored."""


class RunLimitError(SimulationError):
    """A run reached a limit on its steps or on its recording before its end.

    ``time`` is the simulation time reached; ``results`` holds what was recorded
    up to there (None while the engine hands the error up).
    """

    def __init__(self, message, time=None, results=None):
        super().__init__(message, time)
        self.results = results
        self.tables = None


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
