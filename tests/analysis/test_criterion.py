"""The default criterion judges each watched junction on its own: its switches,
their directions and times, never the order of switches of different junctions;
and the junctions watched by default are the design's outputs."""

import numpy as np
import pytest
from analysis_circuits import CELL_OUTPUTS, CELLS, phase_with_turns

import loxant
from loxant.analysis import Design, EventCriterion
from loxant.analysis.common import watched_junctions

NOMINAL = {"J1": [(10.0, 1)], "J2": [(10.5, 1), (30.0, 1)]}
WINDOW = 2.0


class _Phases:
    """Results of normalised units holding only junction phases."""

    def __init__(self, turns):
        self.time = np.linspace(0.0, 50.0, 5001)
        self._phases = {name: phase_with_turns(self.time, t) for name, t in turns.items()}

    def phase(self, name):
        return self._phases[name]


@pytest.mark.parametrize(
    "turns, passed, message",
    [
        (NOMINAL, True, ""),
        # the two junctions trade places well inside the window: still working
        ({"J1": [(10.6, 1)], "J2": [(10.2, 1), (30.0, 1)]}, True, ""),
        ({"J1": [(13.0, 1)], "J2": NOMINAL["J2"]}, False, "J1: switch 1 late"),
        ({"J1": [(7.0, 1)], "J2": NOMINAL["J2"]}, False, "J1: switch 1 early"),
        ({"J1": [(10.0, -1)], "J2": NOMINAL["J2"]}, False, "J1: switch 1 turns the wrong way"),
        ({"J1": NOMINAL["J1"], "J2": [(10.5, 1)]}, False, "J2: 1 switch instead of 2"),
        # the first one missing: told by the count, not as the second one early
        ({"J1": NOMINAL["J1"], "J2": [(30.0, 1)]}, False, "J2: 1 switch instead of 2"),
        ({"J1": [(10.0, 1), (40.0, 1)], "J2": NOMINAL["J2"]}, False, "J1: 2 switches instead of 1"),
    ],
)
def test_each_junction_is_judged_on_its_own(turns, passed, message):
    expected = [(t, name, s) for name, ts in NOMINAL.items() for t, s in ts]
    criterion = EventCriterion(sorted(expected), ["J1", "J2"], WINDOW)
    verdict = criterion(_Phases(turns))
    assert verdict[0] is passed
    assert verdict[1].startswith(message)


def test_only_the_watched_junctions_count():
    expected = [(10.0, "J1", 1), (10.5, "J2", 1), (30.0, "J2", 1)]
    criterion = EventCriterion(expected, ["J1"], WINDOW)
    assert criterion(_Phases({"J1": [(10.0, 1)], "J2": []})) == (True, "")


@pytest.mark.parametrize(
    "junctions, watch, expected",
    [
        (None, None, CELL_OUTPUTS),  # the netlist's .print requests
        (["b1.x2.xdut"], None, ["B1|X2|XDUT"]),
        (["B1|X1|XDUT", "b1.x1.xdut"], None, ["B1|X1|XDUT"]),
        (None, ["P(B1.X1.XSOURCE)"], ["B1|X1|XSOURCE"]),
        # a node stands for the junctions on it
        (None, ["V(2)"], ["B2|XLOAD"]),
        (None, ["v(1, 2)", "V(a.xdut)"], ["B1|X1|XDUT", "B2|XLOAD", "B1|X2|XDUT"]),
    ],
)
def test_watched_junctions(junctions, watch, expected):
    design = Design(loxant.read_netlist(CELLS))
    assert sorted(watched_junctions(design, junctions, watch)) == sorted(expected)


def test_a_netlist_without_outputs_watches_every_junction():
    text = "\n".join(line for line in CELLS.splitlines() if not line.startswith(".print"))
    design = Design(loxant.read_netlist(text + "\n"))
    assert len(watched_junctions(design)) == 4


@pytest.mark.parametrize(
    "junctions, watch, message",
    [
        (["B9"], None, "no junction named 'B9'"),
        (["IIN"], None, "no junction named 'IIN'"),
        (None, ["P(nowhere)"], "no node or element"),
        (None, ["Q(1)"], "cannot read output"),
        (None, ["I(L1.X1.XSOURCE)"], "touch no junction"),
        (["B2.XLOAD"], ["V(2)"], "not both"),
    ],
)
def test_bad_watch_lists_are_refused(junctions, watch, message):
    design = Design(loxant.read_netlist(CELLS))
    with pytest.raises(ValueError, match=message):
        watched_junctions(design, junctions, watch)
