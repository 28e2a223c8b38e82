"""Steps every analysis shares: the design, the nominal run and its criterion."""

from ..errors import AnalysisError
from .criterion import EventCriterion, window_in
from .design import Design
from .expected import ExpectedCriterion
from .runner import ListPlan, Run

__all__ = ["expected_criterion", "make_design", "nominal_criterion", "watched_junctions"]


def make_design(source, t_stop, dt, options):
    """The :class:`Design` of a circuit, physical circuit, netlist or netlist path."""
    if isinstance(source, Design):
        return source
    return Design(source, t_stop=t_stop, dt=dt, options=options)


def watched_junctions(design, junctions=None, watch=None):
    """The junctions the default criterion watches: ``junctions`` (names, any
    case, ``.`` or ``|``), else those of the outputs ``watch`` (probes such as
    ``P(B1.XOUT)`` or ``V(q)``), else those of the netlist's output requests,
    else every junction (see :meth:`Design.watched_junctions`)."""
    if junctions is not None and watch is not None:
        raise ValueError("give junctions or watch, not both")
    if junctions is None:
        return design.watched_junctions(watch)
    if isinstance(junctions, str):
        junctions = [junctions]
    names = [design.junction_name(name) for name in junctions]
    if not names:
        raise ValueError("no junction to watch")
    return list(dict.fromkeys(names))


def nominal_criterion(
    runner,
    design,
    criterion=None,
    junctions=None,
    window=None,
    watch=None,
    expected=None,
    threshold=None,
):
    """Simulate the nominal design and return ``(criterion, outcome)``: the
    criterion given, the criterion of the ``expected`` switching (the path of a file of
    expected switching or an :class:`~loxant.analysis.expected.ExpectedSwitching`) within
    ``threshold``, or the :class:`EventCriterion` of the nominal switching of
    the watched junctions (see :func:`watched_junctions`).  Raises RuntimeError
    if the nominal run fails."""
    names = None
    criterion = expected_criterion(design, criterion, expected, threshold, junctions, watch, window)
    if criterion is None:
        names = watched_junctions(design, junctions, watch)
        window = window_in(window, design.units is not None)  # checked before the run
    elif junctions is not None or watch is not None or window is not None:
        raise ValueError("junctions, watch and window belong to the default criterion")
    plan = ListPlan([Run()])
    runner.run(plan, criterion=criterion, design=design, events=names)
    outcome = plan.outcomes[0]
    if not outcome.passed:
        raise AnalysisError(_nominal_failure(outcome))
    if criterion is None:
        criterion = EventCriterion(outcome.events, names, window, design.units is not None)
    return criterion, outcome


def expected_criterion(
    design, criterion, expected, threshold, junctions=None, watch=None, window=None
):
    """``criterion``, or the criterion of the ``expected`` switching on
    ``design`` (the analyses' ``expected`` argument); ValueError when it comes with
    another criterion or that criterion's settings."""
    if expected is None:
        if threshold is not None:
            raise ValueError("threshold belongs to the expected switching: give it too")
        return criterion
    if criterion is not None:
        raise ValueError("give a criterion or the expected switching, not both")
    if junctions is not None or watch is not None or window is not None:
        raise ValueError(
            "junctions, watch and window belong to the default criterion, "
            "not to the expected switching"
        )
    return ExpectedCriterion.for_design(expected, design, threshold)


def _nominal_failure(outcome):
    if outcome.reason == "criterion":
        detail = f" ({outcome.message})" if outcome.message else ""
        return (
            f"the nominal circuit fails the criterion given{detail}: a criterion must "
            "pass the circuit as designed"
        )
    return f"the nominal run failed ({outcome.reason}): {outcome.message or 'no detail'}"
