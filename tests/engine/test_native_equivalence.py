"""The native engine against the Python driver (engine="python"), the reference.

With tolerances given by the caller both integrate the same BDF2 equations to
within them, so their trajectories agree, though not bit for bit: the native
loop predicts each step to third order, keeps its factorisation across steps
and updates the currents of the linear elements from the corrections.  Its
iteration on a kept matrix converges linearly; it stops when the error left,
bounded through the rate at which corrections shrink, is a thousandth of the
tolerance (the driver's full Newton leaves far less than its tolerance), and
switching junctions amplify such differences: both run at 1e-12 (phases then
agree to about 1e-12) and are compared at 1e-7, since
voltages and capacitor currents are first and second differences of the
phases over steps of 0.02 to 0.2 (up to 1 / dt**2 = 2500 times larger); that
is still three orders below the integration error of these runs.  The native
default stops Newton at a fraction of each step's own error instead, which may
move a trajectory by a fraction of the integration error: checked against that
error.
"""

import math
import os

import numpy as np
import pytest

from loxant import PWL, Circuit, CircuitError, Sine, lxconfig, read_netlist

RTOL = 1e-7
#: both engines integrate BDF2 here (the native default is the trapezoidal rule)
BDF2 = {"method": "bdf2"}
STRICT = {"abstol": 1e-12, "reltol": 1e-12, **BDF2}


def jtl(n=12):
    """The line of the performance benchmark, in physical units."""
    pc = Circuit(ic0="250uA", r0="2.74ohm")
    pc.phase_source("P_in", "in", "0", [("0ps", 0), ("30ps", 0), ("35ps", 2 * math.pi)])
    pc.inductor("L_in", "in", "1", "3pH")
    for k in range(1, n + 1):
        pc.junction(f"J{k}", k, 0, ic="250uA", r="2.74ohm", c="0.175pF")
        pc.current_source(f"I{k}", 0, k, [("0ps", 0), ("20ps", "175uA")])
        if k < n:
            pc.inductor(f"L{k}", k, k + 1, "3pH")
    return pc


def rf_squid():
    """A junction closed by an inductor of beta_L = 3, its flux ramped by a current
    source: the flux enters in whole quanta."""
    c = Circuit("rf-SQUID", units="normalised")
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=0.5)
    c.inductor("L1", "a", "0", 3.0)
    c.current_source("I1", "0", "a", PWL([(0, 0), (150, 4.0), (300, -1.0)]))
    return c


def tjm():
    c = Circuit("TJM", units="normalised")
    c.junction_tjm("T1", "a", "0", model=sorted(lxconfig.tjm_models)[0])
    c.resistor("R1", "a", "b", 2.0)
    c.current_source("I1", "0", "b", Sine(0.6, 0.5, 0.02))
    return c


def coupled():
    """A driven primary coupled to a secondary loop closed through a junction."""
    c = Circuit("transformer", units="normalised")
    c.voltage_source("V1", "p", "0", Sine(0.0, 0.3, 0.01))
    c.resistor("R1", "p", "a", 0.5)
    c.inductor("L1", "a", "0", 1.5)
    c.inductor("L2", "b", "0", 0.8)
    c.junction("J1", "b", "0", ic=1.0, r=1.0, c=0.3)
    c.mutual("K1", "L1", "L2", k=0.7)
    return c


def gap_sweep():
    """A gap junction biased up through the gap into the normal branch and back to
    rest: it passes through every piece of its quasiparticle branch, each way."""
    c = Circuit("gap sweep", units="normalised")
    # rn makes the normal line V/rn meet the top of the gap rise (5.1 / 2.7 against
    # 0.2 g + 4.9 / r0 = 1.886): a branch with a jump there would chatter
    c.junction_gap("J1", "a", "0", ic=1.0, c=4.0, r0=8.0, rn=2.7, vg=5.0, delv=0.2)
    c.resistor("R1", "a", "b", 20.0)
    c.inductor("L1", "b", "0", 2.0)
    c.current_source("I1", "0", "a", PWL([(0, 0), (100, 2.6), (200, 2.6), (300, -2.6), (400, 0)]))
    return c


def junction_near_critical():
    """One junction biased at 0.9 Ic at a coarse step: a single solve a step is
    far from converged."""
    c = Circuit("junction at 0.9 Ic", units="normalised")
    c.junction("J1", "a", "0", ic=0.8, r=1.0, c=0.1)
    c.current_source("I1", "0", "a", 0.72)
    return c


def line_between_junctions():
    """A pulse of bias switches a junction whose voltage runs down a lossless line
    into a second, loaded junction."""
    c = Circuit("line", units="normalised")
    c.current_source("I1", "0", "a", PWL([(0, 0), (20, 1.5), (40, 1.5), (60, 0)]))
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=0.5)
    c.transmission_line("T1", "a", "0", "b", "0", td=3.0, z0=2.0)
    c.junction("J2", "b", "0", ic=1.0, r=2.0, c=0.5)
    c.resistor("R2", "b", "0", 5.0)
    return c


CASES = {
    "jtl": (lambda: jtl().circuit, 100.0, 0.2),
    "rf-squid": (rf_squid, 300.0, 0.05),
    "tjm": (tjm, 60.0, 0.02),
    "mutual": (coupled, 200.0, 0.05),
    "gap": (lambda: gap_sweep(), 400.0, 0.1),
    "junction": (junction_near_critical, 200.0, 1.0),
    "line": (line_between_junctions, 200.0, 0.1),
}


def assert_same_trajectories(a, b):
    assert a.nodes == b.nodes and a.elements == b.elements
    np.testing.assert_array_equal(a.time, b.time)
    getters = {
        "node_phase": "node_phase",
        "node_voltage": "node_voltage",
        "current": "current",
        "phase": "phase",
        "voltage": "voltage",
    }
    for quantity, getter in getters.items():
        for name in a.recorded(quantity):
            x = getattr(a, getter)(name)
            y = getattr(b, getter)(name)
            scale = max(np.abs(x).max(), 1.0)
            np.testing.assert_allclose(y, x, rtol=RTOL, atol=RTOL * scale, err_msg=name)
    np.testing.assert_array_equal(a.turns, b.turns)


@pytest.mark.parametrize("case", sorted(CASES))
def test_native_follows_the_python_driver(case):
    make, t_stop, dt = CASES[case]
    reference = make().simulate(t_stop, dt, engine="python", **STRICT)
    native = make().simulate(t_stop, dt, newton_fraction=0, **STRICT)
    assert_same_trajectories(reference, native)
    # the runs must have done something worth comparing
    assert max(np.abs(reference.phases).max(), np.abs(reference.node_phases).max()) > 1.0
    stats = native.stats
    assert stats["steps"] == reference.stats["steps"]
    # one solve an iteration, and (but for a junction that keeps a history) a
    # factorisation kept for many steps
    assert stats["solves"] == stats["iterations"]
    if case != "tjm":
        assert stats["factorisations"] + stats["refactorisations"] < stats["steps"] / 10


def test_jtl_delay_per_stage_is_kept():
    """The pulse's delay per stage at dt = 0.1 ps, native against Python driver."""

    def delay(engine):
        pc = jtl(16)
        res = pc.simulate("150ps", "0.1ps", record=["phase(J4)", "phase(J12)"], engine=engine)
        t = res.time("ps")
        crossings = []
        for name in ("J4", "J12"):
            phase = res.phase(name)
            k = int(np.argmax(phase > math.pi))
            crossings.append(
                t[k - 1] + (math.pi - phase[k - 1]) * (t[k] - t[k - 1]) / (phase[k] - phase[k - 1])
            )
        return (crossings[1] - crossings[0]) / 8

    native, python = delay("native"), delay("python")
    assert 1.0 < native < 3.0  # ps: a pulse did run down the line
    assert native == pytest.approx(python, rel=1e-4)


def test_linear_circuit_factors_once_per_step_size():
    c = Circuit("RLC", units="normalised")
    c.current_source("I1", "0", "a", Sine(0.0, 1.0, 0.05))
    c.resistor("R1", "a", "0", 2.0)
    c.inductor("L1", "a", "b", 1.0)
    c.capacitor("C1", "b", "0", 0.5)
    res = c.simulate(40.0, 0.1, engine="native", **BDF2)
    reference = c.simulate(40.0, 0.1, engine="python")
    assert_same_trajectories(reference, res)
    stats = res.stats
    # backward Euler, BDF2 at dt, and the last step, a rounding shorter
    assert stats["matrix_builds"] == reference.stats["matrix_builds"] == 3
    assert stats["factorisations"] + stats["refactorisations"] == 3
    assert stats["iterations"] == stats["steps"] == 400


def gap_pieces(voltage, vg=5.0, delv=0.2):
    """The piece of the gap junction's branch at each voltage (as the model
    numbers them: 0 subgap, 1 gap rise, 2 normal, negative below zero)."""
    size = np.abs(voltage)
    piece = np.where(size < vg - delv / 2, 0, np.where(size < vg + delv / 2, 1, 2))
    return np.where(voltage < 0, -piece, piece)


def test_gap_junction_refactors_when_its_piece_changes():
    """The kept factorisation must follow each change of piece: every accepted
    voltage in another piece is a new matrix, so the run factors at least that
    often (and the trajectory above agrees with the Python driver, which
    assembles everything at every iteration)."""
    res = gap_sweep().simulate(400.0, 0.1, newton_fraction=0)
    pieces = gap_pieces(res.voltage("J1"))
    assert set(pieces) == {-2, -1, 0, 1, 2}
    changes = int(np.count_nonzero(np.diff(pieces)))
    stats = res.stats
    assert stats["factorisations"] + stats["refactorisations"] >= changes
    # and no more than needed: a kept factorisation serves most steps
    assert stats["factorisations"] + stats["refactorisations"] < stats["steps"] / 4


@pytest.mark.parametrize("case", ["jtl", "rf-squid", "mutual", "gap"])
def test_newton_stop_moves_results_by_a_fraction_of_the_step_error(case):
    """Stopping Newton at a tenth of each step's own error moves the trajectory by
    a small part of the integration error, estimated as the distance between the
    fully solved runs at dt and at dt / 2 (3/4 of the error at dt, BDF2 being
    second order; measured 0.3 % of it at most), in at most two solves a step."""
    make, t_stop, dt = CASES[case]
    strict = make().simulate(t_stop, dt, newton_fraction=0, **STRICT)
    finer = make().simulate(t_stop, dt / 2, newton_fraction=0, record_every=2, **STRICT)
    loose = make().simulate(t_stop, dt, **BDF2)
    np.testing.assert_allclose(strict.time, finer.time, rtol=1e-12)
    integration_error = np.abs(strict.node_phases - finer.node_phases).max()
    moved = np.abs(loose.node_phases - strict.node_phases).max()
    assert moved <= 0.02 * integration_error
    assert loose.stats["solves"] <= 2.0 * loose.stats["steps"]


def _phase_difference(tol, make, t_stop, dt):
    """Largest difference of the node phases (and, apart, the node voltages)
    between the engines at abstol = reltol = tol, relative to the largest value."""
    python = make().simulate(t_stop, dt, engine="python", abstol=tol, reltol=tol)
    native = make().simulate(t_stop, dt, abstol=tol, reltol=tol, **BDF2)
    np.testing.assert_array_equal(native.time, python.time)
    differences = []
    for a, b in (
        (python.node_phases, native.node_phases),
        (python.node_voltages, native.node_voltages),
    ):
        differences.append(np.abs(a - b).max() / np.abs(a).max())
    return differences


@pytest.mark.parametrize("case", sorted(set(CASES) - {"rf-squid"}))
def test_caller_tolerances_bound_both_engines(case):
    """At abstol = reltol = 1e-12 the engines agree to 1e-9 of the largest phase
    and voltage, and less so at 1e-10: the difference follows the tolerance,
    down to the rounding of the phases."""
    make, t_stop, dt = CASES[case]
    tight = _phase_difference(1e-12, make, t_stop, dt)
    looser = _phase_difference(1e-10, make, t_stop, dt)
    assert max(tight) <= 1e-9
    assert tight[0] <= max(looser[0] / 10, 1e-14)


def test_newton_fraction_loosens_only_the_default_tolerances():
    make, t_stop, dt = CASES["junction"]
    default = make().simulate(t_stop, dt)
    # a tolerance written at its default value changes nothing
    stated = make().simulate(t_stop, dt, abstol=1e-9, reltol=1e-9)
    np.testing.assert_array_equal(stated.node_phases, default.node_phases)
    assert stated.stats["solves"] == default.stats["solves"]
    # other tolerances bound Newton: the fraction is off unless asked for
    tight = make().simulate(t_stop, dt, abstol=1e-13, reltol=1e-13)
    zero = make().simulate(t_stop, dt, abstol=1e-13, reltol=1e-13, newton_fraction=0)
    np.testing.assert_array_equal(tight.node_phases, zero.node_phases)
    with pytest.raises(CircuitError, match="newton_fraction = 0.1 would loosen abstol = 1e-13"):
        make().simulate(t_stop, dt, abstol=1e-13, newton_fraction=0.1)


JTL = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "jtl.cir")


@pytest.fixture(scope="module")
def tight_jtl():
    net = read_netlist(JTL)
    return net, net.simulate(record=None, engine="python", abstol=1e-13, reltol=1e-13)


@pytest.mark.parametrize(
    ("engine", "tolerance", "most"),
    [("python", 1e-4, 1e-2), ("python", 1e-6, 1e-2), ("native", 1e-4, 3.0), ("native", 1e-6, 3.0)],
)
def test_explicit_tolerances_bound_the_error_as_documented(engine, tolerance, most, tight_jtl):
    """Against a run at 1e-13, in units of abstol + reltol |phase|: the Python
    engine far inside, the native one within a few tolerances over the run."""
    net, reference = tight_jtl
    run = net.simulate(record=None, engine=engine, abstol=tolerance, reltol=tolerance, **BDF2)
    exact = reference.normalised.node_phases
    error = np.abs(run.normalised.node_phases - exact) / (tolerance * (1 + np.abs(exact)))
    assert error.max() < most
