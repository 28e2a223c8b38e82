"""The junction model's supercurrent law in circuits read from netlists: the phase
offset phi (pi-junctions), harmonics cpr, and temperature and transparency t, tc,
d (Haberkorn's relation), on both junction types.

The static current-phase relation is read from a phase source held at a
staircase of phases: on each plateau the junction's phase is the source's and
its voltage 0, so its current is the supercurrent alone.
"""

import math
import warnings

import numpy as np
import pytest

pytest.importorskip("loxant.CircuitKernel")
brentq = pytest.importorskip("scipy.optimize").brentq

from loxant.jjmodel import DEFAULTS
from loxant.netlist import Netlist, NetlistWarning
from loxant.units import PHI0

BOLTZMANN, CHARGE = 1.380649e-23, 1.602176634e-19
IC = 100e-6
PHASES = np.linspace(-3.0, 3.0, 13)
PLATEAU, RAMP = 4.0, 1.0  # ps


def staircase():
    points, t = ["0 0"], 0.0
    for phase in PHASES:
        points += [f"{t + RAMP:g}p {phase:.17g}", f"{t + RAMP + PLATEAU:g}p {phase:.17g}"]
        t += RAMP + PLATEAU
    return " ".join(points), t


def current_phase_relation(model, reversed_junction=False):
    """(phase, current in A) of the junction at the end of each plateau."""
    wave, t_stop = staircase()
    nodes = "0 a" if reversed_junction else "a 0"
    net = Netlist.from_string(
        f"""* current-phase relation
.model jx jj({model})
P1 a 0 pwl({wave})
B1 {nodes} jx
.tran 0.01p {t_stop:g}p
.end
"""
    )
    res = net.simulate()
    t = res.time("ps")
    ends = [np.searchsorted(t, (k + 1) * (RAMP + PLATEAU) - 1e-6) for k in range(len(PHASES))]
    return res.phase("B1")[ends], res.current("B1", "A")[ends]


def harmonics(phase, amplitudes, phi=0.0):
    return sum(a * np.sin(k * (phase - phi)) for k, a in enumerate(amplitudes, 1))


@pytest.mark.parametrize("rtype", [0, 1])
@pytest.mark.parametrize("reversed_junction", [False, True], ids=["node-ground", "ground-node"])
@pytest.mark.parametrize("phi", [0.0, 0.5])
def test_cpr_harmonics_with_the_offset_inside_each(rtype, reversed_junction, phi):
    model = f"rtype={rtype}, icrit=100u, rn=5, cap=0.1p, cpr=(0.9, 0.1), phi={phi}"
    phase, current = current_phase_relation(model, reversed_junction)
    assert phase == pytest.approx(-PHASES if reversed_junction else PHASES, abs=1e-9)
    expected = IC * harmonics(phase, (0.9, 0.1), phi)
    assert np.abs(current - expected).max() < 1e-6 * IC


def haberkorn(phase, d, t, tc, rn):
    """Haberkorn et al. (1978), evaluated as published, SI units."""
    delta = 1.76 * BOLTZMANN * tc * math.sqrt(max(math.cos(math.pi / 2 * (t / tc) ** 2), 0.0))
    s = np.sqrt(1 - d * np.sin(phase / 2) ** 2)
    scale = np.pi * delta / (2 * CHARGE * rn)
    return scale * np.sin(phase) / s * np.tanh(delta / (2 * BOLTZMANN * t) * s)


@pytest.mark.parametrize("rtype", [0, 1])
def test_vanishing_transparency_is_ic_sin_phi(rtype):
    # no rn: the Ambegaokar-Baratoff resistance of icrit at t
    phase, current = current_phase_relation(f"rtype={rtype}, icrit=100u, cap=0.1p, d=1e-7")
    assert np.abs(current - IC * np.sin(phase)).max() < 1e-6 * IC


@pytest.mark.parametrize("rtype", [0, 1])
@pytest.mark.parametrize(("t", "d"), [(4.2, 0.9), (2.0, 0.5), (8.0, 0.95)])
def test_transparent_contact_follows_haberkorn(rtype, t, d):
    model = f"rtype={rtype}, rn=16, cap=0.07p, r0=160, t={t}, tc=9.1, d={d}"
    phase, current = current_phase_relation(model)
    expected = haberkorn(phase, d, t, 9.1, 16.0)
    assert np.abs(current - expected).max() < 1e-6 * np.abs(expected).max()


@pytest.mark.parametrize("rtype", [0, 1])
def test_supercurrent_vanishes_at_the_critical_temperature(rtype):
    model = f"rtype={rtype}, rn=16, cap=0.07p, tc=9.1, d=0.5"
    _, at_tc = current_phase_relation(f"{model}, t=9.1")
    _, just_below = current_phase_relation(f"{model}, t=8.9")
    assert np.abs(at_tc).max() < 1e-6 * np.abs(just_below).max()


def rf_squid(model, nodes, kick):
    net = Netlist.from_string(
        f"""* rf-SQUID loop of a pi-junction
.model jp jj({model})
B1 {nodes} jp
L1 a 0 10p
I1 0 a pwl(0 0 1p {kick} 2p 0)
.tran 0.01p 200p
.end
"""
    )
    res = net.simulate()
    return res.node_phase("A")[-1], res.current("L1", "A")[-1]


@pytest.mark.parametrize(
    "model",
    [
        "rtype=1, icrit=100u, rn=5, r0=30, cap=0.1p, phi=pi",
        "rtype=0, icrit=100u, rn=5, cap=0.1p, phi=pi",
        "rtype=1, icrit=100u, rn=5, r0=30, cap=0.1p, cpr=(-1)",  # the same pi-junction
    ],
)
@pytest.mark.parametrize("nodes", ["a 0", "0 a"])
@pytest.mark.parametrize("kick", ["20u", "-20u"])
def test_pi_junction_in_an_rf_squid_loop_flips_its_zero_current_phase(model, nodes, kick):
    # phi = 0 is unstable: the loop settles where phi = beta_L sin(phi) with a
    # spontaneous current, on the side of the kick, as for the RCSJ pi-junction.
    beta_l = 2 * math.pi * 10e-12 * IC / PHI0
    phase, loop_current = rf_squid(model, nodes, kick)
    expected = math.copysign(
        brentq(lambda x: x - beta_l * math.sin(x), 1.0, math.pi), float(kick[:-1])
    )
    assert phase == pytest.approx(expected, rel=1e-6)
    assert loop_current == pytest.approx(expected * PHI0 / (2 * math.pi * 10e-12), rel=1e-6)
    # the same loop with an ordinary junction stays at rest
    ordinary = model.replace("phi=pi", "phi=0").replace("cpr=(-1)", "cpr=(1)")
    assert abs(rf_squid(ordinary, nodes, kick)[0]) < 1e-6


def switching_run(model):
    """Phases of a junction of ``model`` switched by a current ramp to 1.5 Ic."""
    net = Netlist.from_string(
        f"* defaults\n.model jx jj({model})\nB1 a 0 jx\nI1 0 a pwl(0 0 20p 1.5m)\n"
        ".tran 0.05p 40p\n.end\n"
    )
    return net.simulate().phase("B1")


AT_DEFAULTS = [
    *(f"{key.lower()}={value}" for key, value in DEFAULTS.items() if key not in ("CPR", "ICFCT")),
    "icfct=pi/4",
    "cpr=(1)",
    "t=4.2, tc=9.1, d=0",
]


@pytest.mark.parametrize("written", AT_DEFAULTS)
def test_a_parameter_written_at_its_default_changes_nothing(written):
    plain = switching_run("")
    assert plain[-1] > 4 * math.pi  # it switches: the run sees the supercurrent law
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # and nothing to warn about
        np.testing.assert_array_equal(switching_run(written), plain)


@pytest.mark.parametrize(
    ("model", "warned"),
    [
        ("icrit=100u, rn=16, t=5", "icrit ignored: with rn and t, tc or d"),
        ("icrit=100u, rn=16, d=0.3", "icrit ignored: with rn and t, tc or d"),
        ("rtype=0, icrit=100u, rn=16, r0=30, vg=2.8m", "rtype=0 has no gap: r0, vg ignored"),
        ("icrit=100u, t=5", None),
        ("rn=16, t=5", None),
        ("icrit=100u, rn=16, t=4.2, d=0", None),
    ],
)
def test_a_parameter_another_overrides_is_warned_about_by_name(model, warned):
    text = f"* overridden\n.model jx jj({model})\nB1 a 0 jx\nI1 0 a 10u\n.tran 0.1p 1p\n"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        Netlist.from_string(text).circuit()
    said = [str(w.message) for w in caught if issubclass(w.category, NetlistWarning)]
    assert len(said) == (warned is not None), said
    assert not said or said[0].startswith(f"<string>:2: model JX: {warned}"), said
