"""Margins found by bisection against a dense scan of the same parameters, the
.param path of a netlist against the closed-form threshold of a biased junction,
and the failure reasons kept per run."""

import math
import time

import numpy as np
import pytest
from analysis_circuits import BIAS, JTL_RUN, JUNCTION_RUN, FakeNetlist, biased_junction, jtl

from loxant import PWL, Circuit
from loxant.analysis import GLOBAL_BIAS, Design, EventCriterion, margins, scale, sweep
from loxant.analysis.runner import Run, evaluate

RESOLUTION = 2.0  # percent
SCAN_STEP = 0.01


@pytest.fixture(scope="module")
def jtl_margins():
    return margins(
        jtl(), ["J2", GLOBAL_BIAS], resolution=RESOLUTION, client=None, progress=False, **JTL_RUN
    )


def _scan_bounds(passed, multipliers):
    """Lowest and highest multiplier of the passing run of grid points around 1."""
    centre = int(np.argmin(np.abs(multipliers - 1.0)))
    lo = hi = centre
    while lo > 0 and passed[lo - 1]:
        lo -= 1
    while hi < len(passed) - 1 and passed[hi + 1]:
        hi += 1
    return multipliers[lo], multipliers[hi]


def test_bisection_agrees_with_a_dense_scan(jtl_margins):
    circuit = jtl()
    options = {k: v for k, v in JTL_RUN.items() if k != "window"}
    nominal = circuit.simulate(**options)
    names = [f"J{k}" for k in range(1, 5)]
    criterion = EventCriterion.from_results(nominal, names, JTL_RUN["window"])
    grid = np.round(np.arange(0.4, 1.6 + 1e-9, SCAN_STEP), 10)
    for row in jtl_margins.table.itertuples(index=False):
        scan = sweep(
            circuit,
            {row.parameter: scale(grid)},
            measure=len,
            criterion=criterion,
            client=None,
            progress=False,
            **options,
        )
        low, high = _scan_bounds(scan["passed"].to_numpy(), grid)
        tolerance = (RESOLUTION / 100 + SCAN_STEP) * 100 + 1e-6
        assert (row._2 - (low - 1) * 100) == pytest.approx(0, abs=tolerance), row.parameter
        assert (row._3 - (high - 1) * 100) == pytest.approx(0, abs=tolerance), row.parameter
        # the bounds are real margins: something inside the range fails
        assert -60 < row._2 < 0 < row._3 < 60


def test_margin_result_table_runs_and_chart(jtl_margins, tmp_path):
    result = jtl_margins
    assert list(result.table.columns[:4]) == ["parameter", "nominal", "low %", "high %"]
    assert list(result.table["nominal"]) == [1.0, 4 * 0.7]
    sizes = np.minimum(-result.table["low %"], result.table["high %"])
    assert result.critical_margin == sizes.min()
    assert result.critical_parameter == result.table["parameter"][int(sizes.argmin())]
    runs = result.runs
    assert set(runs["parameter"]) == {"J2", GLOBAL_BIAS}
    assert set(runs.loc[~runs["passed"], "reason"]) == {"criterion"}
    assert runs["reason"][runs["passed"]].isna().all()
    # every bound is the largest passing multiplier tried, the next one tried fails
    for row in result.table.itertuples(index=False):
        tried = runs[runs["parameter"] == row.parameter]
        high = 1 + row._3 / 100
        best = tried[tried["passed"] & (tried["multiplier"] > 1)]["multiplier"].max()
        assert best == pytest.approx(high, abs=1e-9)
    path = tmp_path / "margins.png"
    result.plot(path)
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_param_and_element_margins_of_a_biased_junction_match_its_threshold():
    # The junction stays at rest while Ic > Ib: the bias may rise to Ic / Ib
    # (+11.1 %), and the junction's area may shrink to Ib / Ic (-10 %).
    result = margins(
        FakeNetlist(),
        ["IB", "J1", "I1"],
        resolution=0.5,
        global_bias=False,
        client=None,
        progress=False,
    )
    table = result.table.set_index("parameter")
    threshold = (1 / BIAS - 1) * 100
    assert table.loc["IB", "high %"] == pytest.approx(threshold, abs=0.6)
    assert table.loc["I1", "high %"] == pytest.approx(threshold, abs=0.6)
    assert table.loc["J1", "low %"] == pytest.approx((BIAS - 1) * 100, abs=0.6)
    assert table.loc["IB", "low %"] == -60.0 and table.loc["J1", "high %"] == 60.0
    assert table.loc["IB", "nominal"] == BIAS
    assert result.critical_parameter == "J1"


def _mutual_circuit():
    c = Circuit(units="normalised")
    c.inductor("L1", "a", "0", 1.0)
    c.inductor("L2", "b", "0", 1.0)
    c.mutual("K1", "L1", "L2", k=0.9)
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=1.0)
    c.current_source("I1", "0", "a", 0.5)
    c.resistor("R1", "b", "0", 1.0)
    return c


def _shorted_sources():
    c = Circuit(units="normalised")
    c.phase_source("P1", "a", "0", 0.1)
    c.phase_source("P2", "a", "0", 0.2)
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=1.0)
    return c


def _shorted_by_zero_inductor():
    # a zero inductor holds its voltage at 0 like a source: singular, found only by the solver
    c = Circuit(units="normalised")
    c.phase_source("P1", "a", "0", 0.1)
    c.inductor("L1", "a", "0", 0.0, branch=True)
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=1.0)
    return c


def _refuse(results):
    return False, "refused"


def _raise(results):
    raise ZeroDivisionError("oops")


@pytest.mark.parametrize(
    "circuit, options, run, criterion, reason, text",
    [
        (_mutual_circuit, {}, Run({"K1": 1.2}), None, "invalid", "exceeds"),
        (_mutual_circuit, {}, Run({"L1": 3.0}), None, None, ""),  # k kept
        (_mutual_circuit, {}, Run(), _refuse, "criterion", "refused"),
        (_mutual_circuit, {}, Run(), _raise, "error", "ZeroDivisionError: oops"),
        (
            _mutual_circuit,
            {"max_iterations": 1, "dt_min": 0.1, "single_solve": 0},
            Run(),
            None,
            "convergence",
            "",
        ),
        (_shorted_by_zero_inductor, {}, Run(), None, "singular", "singular"),
        (_shorted_sources, {}, Run(), None, "invalid", "P2 closes a loop of voltage and phase"),
        (_mutual_circuit, {}, Run({"J1": -1.0}), None, "invalid", "positive"),
    ],
)
def test_failure_reasons(circuit, options, run, criterion, reason, text):
    design = Design(circuit(), t_stop=2.0, dt=0.1, options=options)
    outcome = evaluate(design, run, criterion)
    assert outcome.reason == reason
    assert outcome.passed == (reason is None)
    assert text in outcome.message


def test_scaled_copies_leave_the_design_untouched():
    design = Design(_mutual_circuit(), t_stop=1.0, dt=0.1)
    scaled = design.build({"J1": 2.0, "L1": 4.0, GLOBAL_BIAS: 3.0})
    assert (scaled["J1"].ic, scaled["J1"].c, scaled["J1"].r) == (2.0, 2.0, 0.5)
    assert scaled["K1"].k == pytest.approx(0.9) and scaled["K1"].m == pytest.approx(1.8)
    assert scaled["I1"].waveform(0.0) == 1.5
    fresh = design.build()
    assert (fresh["J1"].ic, fresh["L1"].l, fresh["K1"].m, fresh["I1"].waveform(0.0)) == (
        1.0,
        1.0,
        0.9,
        0.5,
    )
    only_ic = design.build({"J1.ic": 2.0})
    assert (only_ic["J1"].ic, only_ic["J1"].c, only_ic["J1"].r) == (2.0, 1.0, 1.0)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"params": ["nope"]}, "no element named 'nope'"),
        ({"params": ["J1.v0"]}, "cannot scale"),
        ({"params": ["J1", "j1"]}, "'J1' is named twice"),
        ({"limits": (10, 60)}, "limits must satisfy -100 < low < 0 < high"),
        ({"limits": (-10, 1e6)}, "high <= 1000"),
        ({"limits": ("a", "b")}, "a pair \\(low, high\\) of percentages"),
        ({"limits": (-10, 10, 20)}, "a pair \\(low, high\\) of percentages"),
        ({"limits": "ab"}, "a pair"),
        ({"limits": 5}, "a pair"),
        ({"resolution": 0}, "resolution must be a positive percentage"),
        ({"resolution": "1"}, "resolution must be a percentage"),
        ({"resolution": math.nan}, "positive percentage"),
        ({"resolution": 1e-14}, "FINEST_RESOLUTION = 1e-09 %"),
        (
            {"resolution": 1e-9, "limits": (-60, 1000)},
            "41 runs per bound, over MAX_RUNS_PER_BOUND = 40",
        ),
        ({"junctions": ["J9"]}, "no junction named 'J9'"),
        ({"window": "5ps"}, "physical"),
        ({"window": -1.0}, "must be positive"),
        ({"criterion": len, "window": 1.0}, "belong to the default criterion"),
    ],
)
def test_bad_arguments_are_refused_before_running(kwargs, message):
    kwargs = {"params": ["J1"], **kwargs}
    started = time.perf_counter()
    with pytest.raises(ValueError, match=message):
        margins(biased_junction(), client=None, progress=False, **kwargs, **JUNCTION_RUN)
    assert time.perf_counter() - started < 10  # refused, not run


@pytest.mark.parametrize("resolution", [1.0, 1e-3, 1e-9])
def test_the_bisection_of_a_bound_takes_the_runs_its_resolution_needs(resolution):
    # a biased junction: the high bound of J1 passes at the range's end in one run;
    # its low bound (Ic = Ib, near -10 %) halves the 60 % range to the resolution
    result = margins(
        biased_junction(),
        ["J1"],
        resolution=resolution,
        global_bias=False,
        client=None,
        progress=False,
        **JUNCTION_RUN,
    )
    sides = result.runs["side"].value_counts()
    assert sides["high"] == 1
    assert sides["low"] == 1 + math.ceil(math.log2(60 / resolution))
    # (a junction biased a hair above Ic turns too late to be seen in the run)
    assert result.table["low %"][0] == pytest.approx((BIAS - 1) * 100, abs=0.5 + resolution)


def _refuse_silently(results):
    return False, None


@pytest.mark.parametrize(
    "criterion, message",
    [
        (_refuse, r"nominal circuit fails the criterion given \(refused\): a criterion must"),
        (_refuse_silently, r"nominal circuit fails the criterion given: a criterion must"),
    ],
)
def test_a_nominal_circuit_that_fails_its_own_criterion_is_refused(criterion, message):
    with pytest.raises(RuntimeError, match=message):
        margins(
            biased_junction(),
            ["J1"],
            criterion=criterion,
            client=None,
            progress=False,
            **JUNCTION_RUN,
        )


def _sources():
    from loxant import Pulse

    c = Circuit(units="normalised")
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=1.0)
    c.current_source("IDC", "0", "a", 0.3)
    c.current_source("IRAMP", "0", "a", PWL([(0, 0), (2, 0.1), (5, 0.2)]))
    c.current_source("IFALL", "0", "a", PWL([(0, 0.5), (3, 0.1)]))
    c.current_source("ICLK", "0", "a", Pulse(0.0, 0.4, delay=5, rise=1, fall=1, width=2))
    c.current_source("IDATA", "0", "a", PWL([(0, 0), (5, 0), (6, 0.3), (7, 0)]))
    c.current_source("IOFF", "0", "a", PWL([(0, 0.2), (5, 0.0)]))
    return c


def test_the_global_bias_scales_the_bias_sources_and_no_signal():
    design = Design(_sources(), t_stop=1.0, dt=0.1)
    scaled = design.build({GLOBAL_BIAS: 1.5})
    for name, factor in [
        ("IDC", 1.5),
        ("IRAMP", 1.5),
        ("IFALL", 1.5),
        ("ICLK", 1.0),
        ("IDATA", 1.0),
        ("IOFF", 1.0),
    ]:
        for t in (0.0, 2.5, 5.5, 6.0, 9.0):
            expected = factor * design.build()[name].waveform(t)
            assert scaled[name].waveform(t) == pytest.approx(expected), (name, t)
    # a pulse's nominal is its amplitude; the global bias adds up the biases' ends
    assert design.nominal("ICLK") == 0.4 and design.nominal("IDATA") == 0.3
    assert design.nominal(GLOBAL_BIAS) == pytest.approx(0.3 + 0.2 + 0.5)


def test_the_global_bias_needs_a_bias_source():
    c = _sources()
    design = Design(c, t_stop=1.0, dt=0.1)
    only_signals = Circuit(units="normalised")
    only_signals.junction("J1", "a", "0", ic=1.0, r=1.0, c=1.0)
    only_signals.current_source("IDATA", "0", "a", PWL([(0, 0), (1, 0.3), (2, 0)]))
    assert design.resolve("GLOBAL BIAS") == GLOBAL_BIAS
    with pytest.raises(ValueError, match="needs a bias source"):
        Design(only_signals, t_stop=1.0, dt=0.1).resolve(GLOBAL_BIAS)


def test_default_parameters_are_the_biases_and_element_values():
    design = Design(jtl(2), t_stop=1.0, dt=0.1)
    assert design.default_parameters() == ["I1", "I2", "Lin", "J1", "L1", "J2"]
    assert math.isclose(design.nominal(GLOBAL_BIAS), 1.4)


def _physical_pair():
    from loxant import Circuit

    pc = Circuit(ic0="250uA", r0="2ohm")
    pc.phase_source("P", "in", "0", [("0ps", 0), ("5ps", 0), ("8ps", 2 * math.pi)])
    pc.inductor("Lin", "in", "a", "2pH")
    pc.junction("J1", "a", "0", ic="250uA", r="2ohm", c="0.3pF")
    pc.current_source("I1", "0", "a", [("0ps", 0), ("3ps", "175uA")])
    pc.inductor("L1", "a", "b", "2pH")
    pc.junction("J2", "b", "0", ic="250uA", r="2ohm", c="0.3pF")
    pc.current_source("I2", "0", "b", [("0ps", 0), ("3ps", "175uA")])
    return pc


def test_physical_circuit_margins_report_si_nominals_and_survive_pickling(capsys):
    import pickle

    pc = _physical_pair()
    copy = pickle.loads(pickle.dumps(pc))
    first, second = (c.simulate("40ps", "0.05ps") for c in (pc, copy))
    np.testing.assert_array_equal(first.phase("J2"), second.phase("J2"))

    result = margins(
        pc,
        ["J1", "Lin", GLOBAL_BIAS],
        resolution=5,
        client=None,
        progress="always",
        t_stop="40ps",
        dt="0.05ps",
    )
    table = result.table.set_index("parameter")
    assert table.loc["J1", "nominal"] == pytest.approx(250e-6)
    assert table.loc["Lin", "nominal"] == pytest.approx(2e-12)
    assert table.loc[GLOBAL_BIAS, "nominal"] == pytest.approx(350e-6)
    assert len(result.nominal.events) == 2  # one turn of each junction (10 ps window)
    stats = result.stats
    assert stats["runs"] == len(result.runs) + 1  # the nominal run
    bar = capsys.readouterr().err
    assert f"done {stats['runs']}, failed {stats['failed']}, remaining 0" in bar


@pytest.mark.parametrize("factor", [0.5, 1.3])
def test_scaled_sources_stay_native(factor):
    """A scaled bias must not fall back to a Python callable in the native loop
    (once per step per source): scaling keeps one native waveform, even twice."""
    from loxant.analysis.scaling import _scaled_waveform
    from loxant.simulation.native import waveform_description
    from loxant.waveforms import PWL, Rescaled

    for base in (PWL([(0, 0), (1, 2)]), Rescaled(PWL([(0, 0), (1e-11, 2e-4)]), 1e-12, 1e-4)):
        scaled = _scaled_waveform(_scaled_waveform(base, factor), 2.0)
        desc = waveform_description(scaled)
        assert desc[0] == "scaled" and desc[1][0] == "pwl"
        for t in (0.0, 0.3, 0.7, 5.0):
            assert scaled(t) == pytest.approx(2.0 * factor * base(t), rel=1e-15, abs=0)


def test_runs_record_only_what_the_criterion_and_measure_read():
    from loxant.analysis import Delay, EventCriterion
    from loxant.analysis.runner import _probes

    criterion = EventCriterion([(1.0, "J1", 1)], ["J1", "J3"], 10.0)
    assert _probes(criterion, Delay("J1", "J2"), ["J4"]) == ["J1", "J2", "J3", "J4"]
    # a plain function of the results may read anything: everything is recorded
    assert _probes(lambda results: True, Delay("J1", "J2"), None) is None
    assert _probes(None, None, None) is None


def test_every_kind_is_scaled_or_refused_by_name_never_left_out():
    c = Circuit(units="normalised")
    c.voltage_source("V1", "in", "0", 0.1)
    c.transmission_line("T1", "in", "0", "a", "0", td=1.0, z0=1.0)
    c.junction_gap("B1", "a", "0", ic=1.0, c=1.0, r0=8.0, rn=1.0, vg=3.0, delv=0.1)
    c.inductor("L1", "a", "0", 2.0)
    c.inductor("L2", "in", "0", 2.0)
    c.mutual("K1", "L1", "L2", k=0.5)
    design = Design(c, t_stop=1.0, dt=0.1)
    assert design.default_parameters() == ["B1", "L1", "L2"]
    assert design.expand("*") == ["V1", "B1", "L1", "L2"]  # a coupling only when named
    design.check("K1")
    with pytest.raises(ValueError, match="transmission line T1 has no value to scale"):
        design.check("T1")
    with pytest.raises(ValueError, match="no element or .param named 'B9'"):
        design.nominal("B9")
    scaled = design.build({"B1": 2.0, "V1": 3.0})
    assert (scaled["B1"].ic, scaled["B1"].c, scaled["B1"].r, scaled["B1"].rn) == (
        2.0,
        2.0,
        4.0,
        1.0,
    )
    assert scaled["V1"].waveform(0.0) == pytest.approx(0.3)
    assert design.nominal("B1.r") == 8.0
