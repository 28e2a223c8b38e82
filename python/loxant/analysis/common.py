"""Steps every analysis shares: the design, the nominal run and its criterion."""

from .criterion import EventCriterion, junction_names, window_in
from .design import Design
from .runner import ListPlan, Run

__all__ = ["make_design", "nominal_criterion"]


def make_design(source, t_stop, dt, options):
    """The :class:`Design` of a circuit, physical circuit or netlist."""
    if isinstance(source, Design):
        return source
    return Design(source, t_stop=t_stop, dt=dt, options=options)


def nominal_criterion(runner, design, criterion=None, junctions=None, window=None):
    """Simulate the nominal design and return ``(criterion, outcome)``: the
    criterion given, or the :class:`EventCriterion` of the nominal events of
    ``junctions`` (default every junction).  Raises RuntimeError if the nominal
    run fails."""
    names = junction_names(design.elements) if junctions is None else list(junctions)
    known = {e.name for e in design.elements}
    for name in names:
        if name not in known:
            raise ValueError(f"no junction named {name!r}")
    plan = ListPlan([Run()])
    physical = design.units is not None
    watched = None if criterion is not None else names
    if criterion is None:
        window = window_in(window, physical)  # checked before the run
    runner.run(plan, criterion=criterion, design=design, events=watched)
    outcome = plan.outcomes[0]
    if not outcome.passed:
        what = "fails its criterion" if outcome.reason == "criterion" else "failed"
        detail = f": {outcome.message}" if outcome.message else ""
        raise RuntimeError(f"the nominal run {what} ({outcome.reason}){detail}")
    if criterion is None:
        criterion = EventCriterion(outcome.events, names, window)
    return criterion, outcome
