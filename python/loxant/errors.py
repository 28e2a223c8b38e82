"""Exceptions raised by the circuit description and the transient driver."""

__all__ = ["CircuitError", "ConvergenceError", "SimulationError", "SingularMatrixError"]


class CircuitError(ValueError):
    """The circuit description is invalid (bad value, duplicate name, floating node...)."""


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
