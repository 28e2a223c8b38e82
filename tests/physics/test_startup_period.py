"""The start-up period before t = 0: its length by the peer's rule, an RL circuit
against its own integration formula, an rf-SQUID closed by a pi-junction against
its analytic ground state, a circuit at rest left exactly as it was, and a chain of
pi-junction loops landing in one state on every run."""

import math
import warnings

import numpy as np
import pytest
from scipy.optimize import brentq

pytest.importorskip("loxant.CircuitKernel")

from loxant.errors import StartupWarning
from loxant.netlist import Netlist
from loxant.simulation import startup_steps
from loxant.simulation.engines import ENGINES

PHI0 = 2.067833848e-15


@pytest.mark.parametrize(
    ("h", "steps"),
    [
        (0.025e-12, 1000),  # 31 623 by the formula, capped
        (0.1e-12, 1000),
        (0.2e-12, 499),  # 499.99999...: whole steps (the peer prints this state too)
        (0.25e-12, 320),
        (0.5e-12, 80),
        (1e-12, 20),
        (10e-12, 0),
    ],
)
def test_steps_of_the_start_up_period(h, steps):
    assert startup_steps(h) == steps


def read(text):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return Netlist.from_string(text)


RL = """\
* RL: a DC source charging a 100 pH inductor through 1 ohm
I1 0 1 dc 1m
R1 1 0 1
L1 1 0 100p
.tran 0.2ps 1ps 0 0.2ps {dst}
.print devi L1
"""


def rl_current(steps, h=0.2e-12, tau=100e-12, current=1e-3):
    """The inductor current after ``steps`` steps from rest: one backward-Euler
    step, then BDF2 (the integration formula of the run)."""
    i1 = h * current / tau / (1 + h / tau)
    i2 = 0.0
    for _ in range(steps - 1):
        i1, i2 = (4 * i1 - i2 + 2 * h * current / tau) / (3 + 2 * h / tau), i1
    return i1


def test_an_rl_circuit_enters_the_run_charged_for_the_start_up_period():
    with pytest.warns(StartupWarning, match="still moving at t = 0, after the start-up period"):
        results = read(RL.format(dst="")).simulate()
    current = results.trace("I(L1)")[1]
    assert results.stats["settle_steps"] == 499
    assert current[0] == pytest.approx(rl_current(499), rel=1e-6)
    # DST: from rest, as the card says
    at_rest = read(RL.format(dst="DST")).simulate().trace("I(L1)")[1]
    assert at_rest[0] == 0.0 and at_rest[1] == pytest.approx(rl_current(1), rel=1e-6)


def test_settle_option_overrides_the_card():
    net = read(RL.format(dst="DST"))
    with pytest.warns(StartupWarning):
        settled = net.simulate(settle=True).trace("I(L1)")[1]
    assert settled[0] == pytest.approx(rl_current(499), rel=1e-6)
    assert "settle_steps" not in read(RL.format(dst="")).simulate(settle=False).stats


PI_SQUID = """\
* rf-SQUID closed by a pi-junction: at zero phase its loop sits on a maximum
.model pj jj(rtype=0, icrit=0.1m, rn=20, cap=0.02p, phi=pi)
B1 1 0 pj
L1 1 0 10p
.tran {step} 5p {dst}
.print devi L1
.print phase B1
"""


def test_a_pi_junction_rf_squid_starts_in_its_ground_state():
    # I = Ic sin(phi - pi) through the junction, L I = Phi0 phi / 2 pi through the
    # inductor: the loop's phase solves sin(phi) = phi / beta_l
    beta_l = 2 * math.pi * 10e-12 * 0.1e-3 / PHI0
    phase = brentq(lambda p: math.sin(p) - p / beta_l, 0.1, math.pi)
    loop = PHI0 * phase / (2 * math.pi * 10e-12)
    results = read(PI_SQUID.format(step="0.2p", dst="")).simulate()  # 499 steps, 100 ps
    assert abs(results.trace("I(L1)")[1][0]) == pytest.approx(loop, rel=1e-6)
    assert abs(results.trace("P(B1)")[1][0]) == pytest.approx(phase, rel=1e-6)
    # from rest at zero phase the loop has not left its maximum by 5 ps
    unsettled = read(PI_SQUID.format(step="0.2p", dst="DST")).simulate().trace("I(L1)")[1]
    assert np.abs(unsettled).max() < 1e-3 * loop


def test_the_start_up_period_holds_junction_voltage_histories_at_zero():
    # as the peer's: the junction's capacitance then damps it so strongly that in
    # 1000 steps of 0.025 ps the loop barely leaves its maximum (the peer prints
    # 1.2e-19 A here); the period does not last longer to make up for it
    results = read(PI_SQUID.format(step="0.025p", dst="")).simulate()
    assert results.stats["settle_steps"] == 1000
    assert abs(results.trace("I(L1)")[1][0]) < 1e-12


JTL = """\
* a JTL stage at rest until its sources rise after t = 0
.model jm jj(rtype=1, vg=2.8mV, cap=0.07pF, r0=160, rn=16, icrit=0.1mA)
IB1 0 2 pwl(0 0 5p 140u)
I1 0 1 pwl(0 0 20p 0 23p 300u 26p 0)
L1 1 2 2p
B1 2 0 jm area=1.5
L2 2 3 4p
B2 3 0 jm area=1.5
IB2 0 3 pwl(0 0 5p 140u)
R1 3 0 8
.tran 0.025p 60p 0 0.25p
.print phase B2
.print devv R1
"""


@pytest.mark.parametrize("engine", sorted(ENGINES))
def test_a_circuit_at_rest_is_unchanged_to_the_last_digit(engine):
    net = read(JTL)
    settled = net.simulate(settle=True, engine=engine)
    plain = net.simulate(settle=False, engine=engine)
    assert (
        settled.stats["settle_steps"] == 1000 and settled.stats["settle_motion"] == 0.0
    )  # nothing moved
    for label in net.probes:
        assert np.array_equal(settled.trace(label)[1], plain.trace(label)[1]), label


CHAIN = """\
* three rf-SQUIDs closed by pi-junctions, coupled in a chain and biased
.model pj jj(rtype=1, vg=2.8mV, cap=0.064pF, r0=100, rn=17, icrit=0.1mA, phi=pi)
{stages}
IB 0 1 dc 20u
R0 1 0 50
.tran 0.2p 40p
{prints}
"""


def chain_text():
    stages, prints = [], []
    for k in range(1, 4):
        stages += [f"B{k} {k} 0 pj area=0.5", f"LQ{k} {k} 0 8p", f"LC{k} {k} {k + 1} 2p"]
        prints.append(f".print devi LQ{k}")
    stages.append("R4 4 0 10")
    return CHAIN.format(stages="\n".join(stages), prints="\n".join(prints))


def test_a_pi_junction_chain_lands_in_the_same_state_every_run():
    runs = [read(chain_text()).simulate() for _ in range(2)]
    for label in ("I(LQ1)", "I(LQ2)", "I(LQ3)"):
        first, second = (r.trace(label)[1] for r in runs)
        assert np.array_equal(first, second), label
        # the loop carries its spontaneous current at t = 0 already
        assert abs(first[0]) > 10e-6, label
