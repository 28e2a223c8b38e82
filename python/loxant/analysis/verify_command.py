"""One run judged by a file of expected switching: :func:`verify`, behind ``loxant verify``.

    loxant verify FILE.cir --expected FILE [--threshold T]

Simulates the netlist's ``.tran`` once and judges it by that file (see
:mod:`loxant.analysis.expected`); the command (:mod:`loxant.cli.verify`) exits
0 when it passes, 1 when it fails (the first violation printed: which junction,
at what time, its count and phase) or its simulation fails, 2 for a mistake in
the arguments, the netlist or the expected switching.
"""

from .common import expected_criterion, make_design
from .runner import Run, evaluate

__all__ = ["verify"]


def verify(netlist_or_circuit, expected, threshold=None, *, t_stop=None, dt=None, **options):
    """Simulate once and judge by ``expected`` (the path of a file of expected switching, or its table):
    returns the :class:`~loxant.analysis.runner.Outcome`, whose ``message``
    names the first violation of a run that fails."""
    design = make_design(netlist_or_circuit, t_stop, dt, options)
    criterion = expected_criterion(design, None, expected, threshold)
    return evaluate(design, Run(), criterion)
