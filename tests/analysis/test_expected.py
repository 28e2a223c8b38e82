"""Expected switching as a file in josim-tools' format: the file read as that tool
reads it, runs judged as it judges them (phases interpolated at the table's
times, counts from the calibration line, a threshold in turns), and runs the
engine stops early judged as the full runs are."""

import math

import numpy as np
import pytest
from analysis_circuits import JTL_RUN, jtl

from loxant.analysis import Design, EventCriterion
from loxant.analysis.expected import ExpectedCriterion, ExpectedSwitching, ExpectedSwitchingError
from loxant.analysis.runner import Run, evaluate
from loxant.errors import RunStopped

TWO_PI = 2 * math.pi


def _read(text):
    return ExpectedSwitching.parse(text, "cell.sp")


@pytest.mark.parametrize(
    "text, where, says",
    [
        ("", "cell.sp", "empty"),
        ("t J1\n0 0\n1 1\n", "cell.sp:1", "'time NAME ...'"),
        ("time\n0\n1\n", "cell.sp:1", "no junction"),
        ("time J1 j1\n0 0 0\n1 1 1\n", "cell.sp:1", "named twice"),
        ("time J1\n0 0\n", "cell.sp", "at least one line of counts"),
        ("time J1 J2\n0 0 0\n\n1e-11 1\n", "cell.sp:4", "2 fields, expected a time and 2"),
        ("time J1\n0 0\n1e-11 1.5\n", "cell.sp:3", "count '1.5' is not an integer"),
        ("time J1\n0 0\n10p 1\n", "cell.sp:3", "time '10p' is not a number"),
        ("time J1\n0 0\nnan 1\n", "cell.sp:3", "not finite"),
        ("time J1\n1e-11 0\n1e-11 1\n", "cell.sp:3", "not after the line before"),
    ],
)
def test_a_file_that_cannot_be_read_names_its_line(text, where, says):
    with pytest.raises(ExpectedSwitchingError) as error:
        _read(text)
    assert str(error.value).startswith(where + ":") and says in str(error.value)


def test_a_file_reads_as_josim_tools_reads_it():
    table = _read("TIME  B1|XIN  B2.XDUT\n\n10e-12  0  0\n  35e-12 -1 +1 \n55E-12 -2 3\n")
    assert table.names == ("B1|XIN", "B2.XDUT")
    assert table.times == (10e-12, 35e-12, 55e-12)
    assert table.counts == ((0, 0), (-1, 1), (-2, 3))
    assert table.relative_counts().tolist() == [[-1, 1], [-2, 3]]


class _Ramps:
    """Normalised results of one junction whose phase moves in straight lines
    through the ``(time, phase)`` corners given."""

    def __init__(self, corners):
        self.time = np.linspace(0.0, 50.0, 501)
        t, p = zip(*corners)
        self._phase = np.interp(self.time, t, p)

    def phase(self, name):
        return self._phase


#: one forward turn from t = 20 to 22; the table expects it between 15 and 30
ONE_JUNCTION = "time J1\n5 0\n15 0\n30 1\n45 1\n"
ON_TIME = [(0, 0.0), (20, 0.0), (22, TWO_PI)]


@pytest.mark.parametrize(
    "corners, threshold, passed, says",
    [
        (ON_TIME, 0.05, True, ""),
        # switched before the line at 15 that still expects none
        ([(0, 0.0), (10, 0.0), (12, TWO_PI)], 0.05, False, "at t = 15: 1.000 switches where 0"),
        ([(0, 0.0)], 0.05, False, "at t = 30: 0.000 switches where 1"),
        # a turn and back again between two lines is no switch at either
        ([(0, 0.0), (20, 0.0), (22, TWO_PI), (24, 0.0), (26, 0.0), (28, TWO_PI)], 0.05, True, ""),
        # 0.19 turns off after the calibration: inside a threshold of 0.2, not of 0.18
        (
            [(0, 0.0), (6, 0.0), (8, 0.19 * TWO_PI), (20, 0.19 * TWO_PI), (22, 1.19 * TWO_PI)],
            0.2,
            True,
            "",
        ),
        (
            [(0, 0.0), (6, 0.0), (8, 0.19 * TWO_PI), (20, 0.19 * TWO_PI), (22, 1.19 * TWO_PI)],
            0.18,
            False,
            "at t = 15: 0.190 switches where 0",
        ),
        # the same offset before the calibration is taken out (the bias at rest)
        (
            [(0, 0.0), (2, 0.0), (4, 0.19 * TWO_PI), (20, 0.19 * TWO_PI), (22, 1.19 * TWO_PI)],
            0.05,
            True,
            "",
        ),
        ([(0, 0.0), (20, 0.0), (22, 1.19 * TWO_PI)], 0.2, True, ""),
        ([(0, 0.0), (20, 0.0), (22, 1.21 * TWO_PI)], 0.2, False, "at t = 30: 1.210 switches"),
    ],
)
def test_the_table_judges_counts_at_its_times_within_the_threshold(
    corners, threshold, passed, says
):
    criterion = ExpectedCriterion(_read(ONE_JUNCTION), ["J1"], threshold)
    verdict, message = criterion(_Ramps(corners))
    assert verdict is passed and says in message
    if not passed:
        assert message.startswith("J1 at t = ") and "rad)" in message


def test_the_first_failing_line_names_the_first_junction_off_there():
    results = _Ramps([(0, 0.0), (10, 0.0), (12, TWO_PI)])
    table = _read("time J0 J1 J2\n5 0 0 0\n15 1 0 0\n30 1 1 0\n")
    criterion = ExpectedCriterion(table, ["J0", "J1", "J2"])
    violation = criterion.first_violation(results)
    # J0 follows; at 15 J1 and J2 are both one switch ahead: J1 comes first
    assert (violation.junction, violation.time, violation.expected) == ("J1", 15.0, 0)
    assert violation.count == pytest.approx(1.0) and violation.phase == pytest.approx(TWO_PI)


# -- runs the engine stops ----------------------------------------------------

#: the nominal JTL: J1..J4 switch forward once each, at about 9.0, 12.0, 15.0, 17.4
NOMINAL_TIMES = {"J1": 8.96, "J2": 11.96, "J3": 15.03, "J4": 17.36}


def _events_criterion(per_junction):
    """An EventCriterion expecting ``per_junction`` switches instead of the nominal's."""
    expected = [(t, name, sign) for name, turns in per_junction.items() for t, sign in turns]
    return EventCriterion(sorted(expected), list(per_junction), JTL_RUN["window"])


def _nominal(**changes):
    turns = {name: [(t, 1)] for name, t in NOMINAL_TIMES.items()}
    turns.update(changes)
    return turns


class _FullRun:
    """The same criterion without its stop rule: the run goes to its end."""

    def __init__(self, criterion):
        self.criterion = criterion

    def __call__(self, results):
        return self.criterion(results)

    def probes(self):
        return self.criterion.probes()


@pytest.fixture(scope="module")
def design():
    return Design(jtl(), t_stop=JTL_RUN["t_stop"], dt=JTL_RUN["dt"])


STOPPED = [
    # kind of failure, what the criterion expects, the last time the run may reach
    ("extra switch", _nominal(J2=[]), 12.2),
    ("wrong direction", _nominal(J3=[(15.03, -1)]), 15.4),
    ("early", _nominal(J4=[(25.0, 1)]), 17.6),
    ("late", _nominal(J1=[(7.9, 1)]), 9.2),
    ("missing", _nominal(J1=[(5.0, 1)]), 6.4),
    ("missing", _nominal(J4=[(17.36, 1), (20.0, 1)]), 21.4),
]


@pytest.mark.parametrize("kind, expected, latest", STOPPED, ids=[s[0] for s in STOPPED])
def test_a_failing_run_stops_at_its_failure_with_the_full_runs_verdict(
    design, kind, expected, latest
):
    criterion = _events_criterion(expected)
    with pytest.raises(RunStopped) as stopped:
        design.simulate(design.build(), criterion.probes(), criterion.stop_rule())
    assert stopped.value.report["kind"] == kind
    assert stopped.value.time <= latest < JTL_RUN["t_stop"]
    early = evaluate(design, Run(), criterion)
    full = evaluate(design, Run(), _FullRun(criterion))
    assert (early.passed, early.reason) == (full.passed, full.reason) == (False, "criterion")
    name = next(n for n in expected if expected[n] != _nominal()[n])
    assert early.message.startswith(name) and full.message.startswith(name)


@pytest.mark.parametrize(
    "table, threshold, passed",
    [
        # J1 and J4 counted from the calibration at t = 2
        ("time J1 J4\n2 0 0\n13 1 0\n25 1 1\n", 0.2, True),
        ("time J1 J4\n2 0 0\n13 1 1\n25 1 1\n", 0.2, False),  # J4 due too soon
        ("time J1 J4\n2 0 0\n13 0 0\n25 1 1\n", 0.2, False),  # J1 not yet due
        ("time J1 J4\n2 0 0\n13 1 0\n25 1 2\n", 0.2, False),  # J4 twice
    ],
)
def test_an_expected_run_the_engine_stops_fails_as_the_full_run(design, table, threshold, passed):
    expected = _read(table)
    criterion = ExpectedCriterion.for_design(expected, design, threshold)
    early = evaluate(design, Run(), criterion)
    full = evaluate(design, Run(), _FullRun(criterion))
    assert early.passed is full.passed is passed
    assert early.message == full.message  # the same words, from the engine's report
    if not passed:
        with pytest.raises(RunStopped) as stopped:
            design.simulate(design.build(), criterion.probes(), criterion.stop_rule())
        assert stopped.value.time < 25.5


def test_a_passing_run_is_not_stopped(design):
    criterion = _events_criterion(_nominal())
    results = design.simulate(design.build(), criterion.probes(), criterion.stop_rule())
    assert results.time[-1] == pytest.approx(JTL_RUN["t_stop"])
    assert criterion(results) == (True, "")
