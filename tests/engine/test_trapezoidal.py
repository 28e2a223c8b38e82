"""The trapezoidal rule of a fixed step (``method="trapezoidal"``): its own
analytic period on an LC tank, switching closer to the converged run than
BDF2 at a netlist's step, and refusals where it cannot apply."""

import csv
import math

import numpy as np
import pytest
from scipy.interpolate import CubicSpline

pytest.importorskip(
    "loxant.NativeEngine", reason="the native module loxant.NativeEngine is not built"
)

from test_single_solve import lc_period_error, lc_tank_beside_a_running_junction

from loxant import Circuit, CircuitError, Netlist
from loxant.cli import main
from loxant.waveforms import PWL

JTL = """\
* four-stage JTL, one pulse
.model jm jj(rtype=1, icrit=250u, rn=2.74, cap=0.175p)
.subckt stage in out
B1 in 0 jm
IB 0 in pwl(0 0 10p 175u)
L1 in out 3p
.ends
IIN 0 1 pwl(0 0 20p 0 22p 600u 24p 0)
X1 stage 1 2
X2 stage 2 3
X3 stage 3 4
BEND 4 0 jm
IBEND 0 4 pwl(0 0 10p 175u)
.tran {step} 80p 0 {step}
.print p(BEND)
.end
"""


def test_lc_period_is_the_rules_own():
    """The rule turns e^{i w h} into (1 + i w h/2) / (1 - i w h/2), a rotation
    by 2 atan(w h / 2): at w = 1 the period comes out 2 pi h / (2 atan(h/2)),
    four times closer to 2 pi than BDF2's."""
    for h in (0.2, 0.1, 0.05):
        res = lc_tank_beside_a_running_junction().simulate(t_stop=80.0, dt=h, method="trapezoidal")
        expected = 2 * math.pi * (h / (2 * math.atan(h / 2)) - 1)
        assert lc_period_error(res) == pytest.approx(expected, rel=0.02)
        bdf2 = lc_tank_beside_a_running_junction().simulate(t_stop=80.0, dt=h, method="bdf2")
        assert lc_period_error(bdf2) > 3.5 * expected


def crossing(time, phase, level=math.pi):
    """The first time the phase passes ``level``, on a cubic spline (in ps)."""
    return CubicSpline(time * 1e12, phase).solve(level, extrapolate=False)[0] * 1e-12


def test_switching_is_closer_to_the_converged_run_than_bdf2(tmp_path):
    """Through the command line, at the deck's 0.25 ps step, against the same
    deck at a tenth of it."""
    fine = Netlist.from_string(JTL.format(step="0.025p"))
    res = fine.simulate()
    converged = crossing(res.time("s"), res.trace("P(BEND)")[1])
    deck = tmp_path / "jtl.cir"
    deck.write_text(JTL.format(step="0.25p"))
    errors = {}
    for method in ("bdf2", "trapezoidal"):
        out = tmp_path / f"{method}.csv"
        assert main(["run", "-q", str(deck), "--method", method, "-o", str(out)]) == 0
        with open(out) as stream:
            rows = np.array([[float(v) for v in row] for row in list(csv.reader(stream))[1:]])
        errors[method] = abs(crossing(rows[:, 0], rows[:, 1]) - converged)
    assert errors["trapezoidal"] < 0.4 * errors["bdf2"]
    assert errors["trapezoidal"] < 50e-15  # BDF2: 114 fs


@pytest.mark.parametrize("in_block", [False, True], ids=["single", "block"])
def test_voltage_of_an_inductive_node_does_not_ring(in_block):
    """A PWL current into an inductor: V = L dI/dt, 2 then 0 after the corner
    at t = 1.02 (inside a step).  Nothing reads that node's voltage, so it
    is reported from the phases, without the rule's step-to-step ripple; the
    junction beside it keeps the rule's own voltage."""
    c = Circuit(units="normalised")
    c.current_source("I1", "0", "a", PWL([(0, 0), (1.02, 1.02)]))
    if in_block:
        (a,) = c.number_nodes(["a"])
        c.add_block("inductor", ["L1"], [a], [0], [2.0])
    else:
        c.inductor("L1", "a", "0", 2.0)
    c.junction("J1", "j", "0", ic=1.0, r=1.0, c=0.5)
    c.current_source("I2", "0", "j", 1.5)
    res = c.simulate(t_stop=4.0, dt=0.1, method="trapezoidal")
    t, v = res.time, res.node_voltage("a")
    assert np.allclose(v[(t > 0.25) & (t < 0.95)], 2.0, atol=1e-9)
    assert np.abs(v[t > 1.4]).max() < 1e-9
    np.testing.assert_allclose(res.node_phase("a"), 2.0 * np.minimum(t, 1.02), atol=1e-9)


def phase_driven():
    c = Circuit(units="normalised")
    c.phase_source("P1", "a", "0", PWL([(0, 0), (1, 1)]))
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=1.0)
    return c


@pytest.mark.parametrize(
    "make, options, message",
    [
        (lc_tank_beside_a_running_junction, {"method": "euler"}, "'bdf2' or 'trapezoidal'"),
        (lc_tank_beside_a_running_junction, {"method": "trapezoidal", "rtol": 1e-3}, "fixed step"),
        (
            lc_tank_beside_a_running_junction,
            {"method": "trapezoidal", "engine": "python"},
            "native engine",
        ),
        (phase_driven, {"method": "trapezoidal"}, "phase source P1"),
    ],
)
def test_refused_where_it_cannot_apply(make, options, message):
    with pytest.raises(CircuitError, match=message) as caught:
        make().simulate(t_stop=2.0, dt=0.1, **options)
    assert caught.value.option == "method"


def test_analyses_take_the_method_from_the_command_line(tmp_path, capsys):
    """--method reaches every run of an analysis: here the refusal of a phase
    source, which only the trapezoidal rule's runs meet (margins stop at the
    nominal run; a sweep tabulates each run's failure)."""
    deck = tmp_path / "driven.cir"
    deck.write_text(
        "* a junction driven through a phase source\n"
        ".model jm jj(rtype=0, icrit=250u, rn=2.74, cap=0.175p)\n"
        "P1 1 0 pwl(0 0 20p 0 25p 6.2832)\nL1 1 2 2p\nB1 2 0 jm\n"
        "IB1 0 2 pwl(0 0 5p 150u)\n.tran 0.25p 60p\n.print p(B1)\n.end\n"
    )
    assert main(["margins", str(deck), "--serial", "-q", "--params", "IB1"]) == 0
    capsys.readouterr()
    assert main(["margins", str(deck), "--serial", "-q", "--method", "trapezoidal"]) == 1
    assert "cannot integrate the phase source P1" in capsys.readouterr().err
    sweep = ["sweep", str(deck), "IB1=x0.9,x1", "--serial", "-q"]
    assert main(sweep) == 0
    assert "cannot integrate the phase source P1" not in capsys.readouterr().out
    main([*sweep, "--method", "trapezoidal"])
    assert "cannot integrate the phase source P1" in capsys.readouterr().out


def test_a_single_solve_ends_near_the_iterated_step():
    """The default ends most steps after one solve and adds the diagonal's share
    of the correction still to come: the JTL's last switch lands within 0.15 fs
    of the step iterated to its tolerance (without that share 0.69 fs, leaning
    one way at every switching)."""
    deck = Netlist.from_string(JTL.format(step="0.25p"))
    single = deck.simulate(profile=True, settle=False)
    iterated = deck.simulate(profile=True, settle=False, single_solve=0)
    assert single.stats["solves"] < 0.8 * iterated.stats["solves"]  # 467 against 653
    shift = crossing(single.time("s"), single.trace("P(BEND)")[1]) - crossing(
        iterated.time("s"), iterated.trace("P(BEND)")[1]
    )
    assert abs(shift) < 0.15e-15


def phase_source_beside_a_junction():
    c = lc_tank_beside_a_running_junction()
    c.phase_source("P1", "p", "0", PWL([(0, 0), (5, 3.0)]))
    c.resistor("R1", "p", "j", 2.0)
    return c


@pytest.mark.parametrize(
    "make, options, chosen",
    [
        (lc_tank_beside_a_running_junction, {}, "trapezoidal"),
        (phase_source_beside_a_junction, {}, "bdf2"),
        (lc_tank_beside_a_running_junction, {"engine": "python"}, "bdf2"),
    ],
    ids=["plain", "phase source", "python engine"],
)
def test_the_default_method_is_the_rule_where_it_applies(make, options, chosen):
    """Left out, the method is the trapezoidal rule, or BDF2 where the rule
    cannot apply; each run then equals the same run with that method named."""
    default = make().simulate(t_stop=20.0, dt=0.1, **options)
    named = make().simulate(t_stop=20.0, dt=0.1, method=chosen, **options)
    assert np.array_equal(default.phase("J1"), named.phase("J1"))
    other = "bdf2" if chosen == "trapezoidal" else None
    if other:
        assert not np.array_equal(
            default.phase("J1"), make().simulate(20.0, 0.1, method=other).phase("J1")
        )
