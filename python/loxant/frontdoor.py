"""The one way into a simulation: :func:`simulate`, for a circuit built in
Python or a netlist read from a file."""

from .circuit import Circuit
from .errors import CircuitError
from .netlist import Netlist
from .simulation import simulate as simulate_described

__all__ = ["simulate"]


def simulate(target, t_stop=None, dt=None, **options):
    """Transient simulation of ``target``, a :class:`~loxant.circuit.Circuit` or a
    :class:`~loxant.netlist.Netlist`.

    A circuit needs ``t_stop`` (and ``dt``, or an adaptive step), in its own
    units: physical for an SI circuit, normalised for a normalised one.  A
    netlist runs its ``.tran``; ``t_stop`` and ``dt`` (seconds), when given,
    replace its values.  ``options`` are those of
    :func:`loxant.simulation.simulate` (with ``settle`` for SI circuits and
    netlists).  Returns :class:`~loxant.simulation.Results` in the target's
    units.
    """
    if isinstance(target, Netlist):
        times = {k: v for k, v in (("t_stop", t_stop), ("dt", dt)) if v is not None}
        return target.simulate(**times, **options)
    if t_stop is None:
        raise CircuitError("t_stop is needed to simulate a circuit (a netlist has its .tran)")
    if isinstance(target, Circuit):
        return target.simulate(t_stop, dt, **options)
    if hasattr(target, "elements"):
        return simulate_described(target, t_stop, dt, **options)
    raise TypeError(f"simulate takes a Circuit or a Netlist, not {type(target).__name__}")
