"""Exceptions raised by the circuit description and the transient driver."""

__all__ = [
    "RECORDING",
    "STEPS",
    "CircuitError",
    "ConvergenceError",
    "RunLimitError",
    "SimulationError",
    "SingularMatrixError",
    "StartupWarning",
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
