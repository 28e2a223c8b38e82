"""Coupled inductors and branch-current inductors in whole simulations.

A transformer: the primary L1 (node a to ground) is driven, the secondary L2
(node b to ground) is closed by L3.  Starting from rest, the secondary loop
keeps zero flux, so at every instant
    phi_a = L1 I1 + M I2,   0 = M I1 + (L2 + L3) I2,
and the stored energy 1/2 L1 I1^2 + M I1 I2 + 1/2 (L2 + L3) I2^2 equals the
work 1/2 phi_a I1 done by the source.
"""

import math
import re

import numpy as np
import pytest

kernel = pytest.importorskip(
    "loxant.CircuitKernel", reason="the native module loxant.CircuitKernel is not built"
)
pytest.importorskip(
    "loxant.SparseDirect", reason="the native module loxant.SparseDirect is not built"
)

from loxant.analysis.design import Design
from loxant.circuit import Circuit
from loxant.errors import CircuitError
from loxant.netlist import Netlist
from loxant.waveforms import PWL

L1, L2, L3 = 1.5, 0.8, 0.05
COUPLINGS = [0.2, -0.5, 0.9, 0.999, 0.999999, 1.0]
TIGHT = {"abstol": 1e-13, "reltol": 1e-13}


def _require(*names):
    missing = [name for name in names if not hasattr(kernel, name)]
    if missing:
        pytest.skip(f"this build of CircuitKernel lacks {', '.join(missing)}")


def transformer(k, drive):
    c = Circuit(units="normalised")
    drive(c)
    c.inductor("L1", "a", "0", L1)
    c.inductor("L2", "b", "0", L2)
    c.inductor("L3", "b", "0", L3)
    c.mutual("K1", "L1", "L2", k=k)
    return c


def analytic(k, phi=None, i1=None):
    """(I1, I2, phi_a, phi_b) of the transformer given the primary phase or current."""
    m = k * np.sqrt(L1 * L2)
    seen = L1 - m * m / (L2 + L3)  # the primary's inductance with the secondary closed
    i1 = phi / seen if i1 is None else i1
    i2 = -m * i1 / (L2 + L3)
    return i1, i2, L1 * i1 + m * i2, -L3 * i2


def check_transformer(res, k, i1, i2, phi_a, phi_b):
    m = k * np.sqrt(L1 * L2)
    got = {name: res.current(name)[-1] for name in ("L1", "L2", "L3")}
    assert got["L1"] == pytest.approx(i1, abs=1e-6)
    assert got["L2"] == pytest.approx(i2, abs=1e-6)
    assert got["L3"] == pytest.approx(-i2, abs=1e-6)
    # flux linkages of the two windings
    assert res.node_phase("a")[-1] == pytest.approx(phi_a, abs=1e-6)
    assert res.node_phase("b")[-1] == pytest.approx(phi_b, abs=1e-6)
    assert L1 * got["L1"] + m * got["L2"] == pytest.approx(phi_a, abs=1e-6)
    assert m * got["L1"] + L2 * got["L2"] == pytest.approx(phi_b, abs=1e-6)
    stored = 0.5 * L1 * got["L1"] ** 2 + m * got["L1"] * got["L2"]
    stored += 0.5 * L2 * got["L2"] ** 2 + 0.5 * L3 * got["L3"] ** 2
    assert stored == pytest.approx(0.5 * phi_a * i1, abs=1e-6)
    assert res.current("K1")[-1] == 0.0


@pytest.mark.parametrize("k", COUPLINGS)
def test_transformer_driven_by_a_phase_source(k):
    _require("PhaseSourceModel", "InductorImpedanceModel", "MutualInductanceModel")
    phase = 1.2
    c = transformer(k, lambda c: c.phase_source("P1", "a", "0", PWL([(0, 0), (2, phase)])))
    res = c.simulate(t_stop=3.0, dt=0.01, **TIGHT)
    check_transformer(res, k, *analytic(k, phi=phase))


@pytest.mark.parametrize("k", COUPLINGS)
def test_transformer_driven_by_a_current_source(k):
    _require("CurrentSourceModel", "InductorImpedanceModel", "MutualInductanceModel")
    bias = 0.7
    c = transformer(k, lambda c: c.current_source("I1", "0", "a", PWL([(0, 0), (2, bias)])))
    res = c.simulate(t_stop=3.0, dt=0.01, **TIGHT)
    check_transformer(res, k, *analytic(k, i1=bias))


@pytest.mark.parametrize("k", [0.3, 0.999999])
def test_the_secondary_follows_the_primary_at_every_step(k):
    """No dynamics in a loop of inductors: the currents track the source exactly."""
    _require("PhaseSourceModel", "InductorImpedanceModel", "MutualInductanceModel")
    c = transformer(k, lambda c: c.phase_source("P1", "a", "0", PWL([(0, 0), (1, 2.0), (2, -1.0)])))
    res = c.simulate(t_stop=2.5, dt=0.01, **TIGHT)
    i1, i2, _, _ = analytic(k, phi=res.node_phase("a"))
    np.testing.assert_allclose(res.current("L1"), i1, atol=1e-6)
    np.testing.assert_allclose(res.current("L2"), i2, atol=1e-6)


# ---- an inductor with or without a branch unknown is the same inductor ---------


def junction_line(branch):
    """Two biased junction stages joined by an inductor; a pulse switches both once."""
    c = Circuit(units="normalised")
    c.current_source("IB1", "0", "a", 0.7)
    c.current_source("IB2", "0", "b", 0.7)
    c.current_source("IP", "0", "a", PWL([(0, 0), (5, 0), (6, 2.0), (8, 2.0), (9, 0)]))
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=1.0)
    c.inductor("L1", "a", "b", 2.0, branch=branch)
    c.junction("J2", "b", "0", ic=1.0, r=1.0, c=1.0)
    c.inductor("L2", "b", "0", 6.0, branch=branch)
    return c


def rf_squid(branch):
    """A junction closed by an inductor, driven through a resistor and capacitor."""
    c = Circuit(units="normalised")
    c.current_source("I1", "0", "a", PWL([(0, 0), (10, 1.5), (20, 0.2)]))
    c.resistor("R1", "a", "0", 4.0)
    c.inductor("L1", "a", "s", 0.9, branch=branch)
    c.junction("J1", "s", "0", ic=1.0, r=1.0, c=0.5)
    c.capacitor("C1", "a", "0", 0.3)
    return c


@pytest.mark.parametrize("build", [junction_line, rf_squid])
def test_branch_inductor_gives_the_same_phases(build):
    _require("InductorModel", "InductorImpedanceModel", "JunctionModel")
    plain = build(False).simulate(t_stop=30.0, dt=0.02, **TIGHT)
    branch = build(True).simulate(t_stop=30.0, dt=0.02, **TIGHT)
    np.testing.assert_array_equal(plain.time, branch.time)
    assert plain.nodes == branch.nodes
    # the circuits do something: a phase turns past pi somewhere
    assert np.abs(plain.node_phases).max() > np.pi
    np.testing.assert_allclose(branch.node_phases, plain.node_phases, rtol=0, atol=1e-9)
    np.testing.assert_allclose(branch.current("L1"), plain.current("L1"), rtol=0, atol=1e-9)


def test_flux_coupled_through_a_mutual_inductance_switches_an_rf_squid():
    """Loop of a junction and L2 = 3, flux M * I1 from a primary: the junction
    slips by 2 pi when the flux reaches phi + L2 sin(phi) at 1 + L2 cos(phi) = 0."""
    l1, l2, k, ramp_end = 1.0, 3.0, 0.5, 8.0
    m = k * math.sqrt(l1 * l2)
    critical_phase = math.acos(-1 / l2)
    critical_flux = critical_phase + l2 * math.sin(critical_phase)
    c = Circuit("rf SQUID with a primary", units="normalised")
    c.current_source("I1", "0", "p", value=PWL([(0, 0), (1600, ramp_end)]))
    c.inductor("L1", "p", "0", l=l1, branch=True)
    c.junction("J", "n", "0", ic=1.0, r=1.0, c=0.5)
    c.inductor("L2", "n", "0", l=l2, branch=True)
    c.mutual("M", "L1", "L2", k=k)
    res = c.simulate(t_stop=1650.0, dt=0.1)
    turns = res.turn_count("J")
    first = int(np.argmax(turns > 0))
    drive = ramp_end * np.minimum(res.time, 1600) / 1600
    # Before the slip the loop follows the static relation for the coupled flux.
    before = res.phase("J")[first // 2]
    assert before + l2 * math.sin(before) == pytest.approx(m * drive[first // 2], rel=5e-3)
    # The slip comes once the drive passes its critical value, after a short delay.
    assert 1.0 < drive[first] / (critical_flux / m) < 1.04
    assert turns[-1] == 1 and set(np.diff(turns)) <= {0, 1}
    phase = res.phase("J")[-1]
    assert phase + l2 * math.sin(phase) == pytest.approx(m * ramp_end, abs=1e-6)


NEGATIVE = """\
* a coupling of a negative and a positive inductance
.model jm jj(rtype=0, icrit=0.1m, rn=5, cap=0.1p)
I1 0 1 pwl(0 0 10p 0.15m)
B1 1 0 jm
L1 1 2 {l1}
L2 3 0 {l2}
R1 2 0 1
R2 3 0 1
K1 L1 L2 0.4
.tran 0.1p 40p
.print p(B1)
"""


@pytest.mark.parametrize(
    ("l1", "l2", "multipliers", "m"),
    [
        # M = k sqrt(|L1 L2|), the factor kept when an inductance is scaled
        (-2.0, 8.0, {}, 0.4 * 4.0),
        (-2.0, 8.0, {"L2": 2.0}, 0.4 * math.sqrt(32.0)),
        (2.0, -8.0, {"L1": 0.5}, 0.4 * 2.0),
        (2.0, 8.0, {"L1": 2.0, "L2": 2.0}, 0.4 * 8.0),
        # M scaled itself: the factor follows it, refused beyond full coupling
        (-2.0, 8.0, {"K1": 2.0}, 0.8 * 4.0),
        (-2.0, 8.0, {"K1": 3.0}, "exceeds sqrt(L1*L2)"),
    ],
)
def test_analyses_couple_a_negative_inductance_as_a_run_does(l1, l2, multipliers, m):
    net = Netlist.from_string(NEGATIVE.format(l1=f"{l1}p", l2=f"{l2}p"))
    design = Design(net)
    if isinstance(m, str):
        with pytest.raises(CircuitError, match=re.escape(m)):
            design.build(multipliers)
        return
    built = design.build(multipliers)
    coupling = built.circuit["K1"]
    assert coupling.m * built.units.scale["H"] == pytest.approx(m * 1e-12, rel=1e-12)
    run = design.simulate(built, record=["phase(B1)"])
    assert np.isfinite(run.phase("B1")).all()
