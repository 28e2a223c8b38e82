"""The start-up period of a linear circuit at rest under sources at zero: the
native engine counts those steps without computing them, and every table and
counter of the run is the same to the last bit as when it computes them all,
whether the sources stay at zero through the period, leave it part way
through it, or a bias moves the circuit from its first step."""

import numpy as np
import pytest

import loxant.simulation.native as native
from loxant import PWL, Circuit, Pulse

SETTLE_STEPS, DT = 200, 0.05  # a period from t = -10 to 0
TABLES = ("time", "node_phases", "node_voltages", "currents", "phases", "voltages", "turns")
TIMINGS = {"kernel_seconds", "solver_seconds", "setup_seconds", "wall_time"}
ENGINE_MODULE = native.engine_module


def network(drive, bias=0.0):
    """Linear elements of every kind the skip admits, each recorded: an inductor
    and a capacitor to ground from its second terminal (whose current is -0.0
    at rest), a coupled pair, controlled sources; `drive` the current of I1,
    a voltage source rising after t = 0, a constant `bias` into node b."""
    c = Circuit("linear network", units="normalised")
    c.current_source("I1", "0", "a", drive)
    c.current_source("IB", "0", "b", bias)
    c.voltage_source("V1", "v", "0", PWL([(0, 0), (0.5, 0), (1.5, 0.2)]))
    c.resistor("R1", "a", "0", 2.0)
    c.inductor("L1", "a", "b", 0.7)
    c.capacitor("C1", "0", "b", 0.4)
    c.resistor("R2", "b", "v", 1.3)
    c.inductor("L2", "0", "d", 0.9, branch=True)
    c.mutual("M1", "L1", "L2", k=0.3)
    c.resistor("R3", "d", "a", 0.8)
    c.vccs("G1", "d", "0", "a", "b", gm=0.25)
    c.cccs("F1", "0", "b", "L2", gain=0.5)
    return c


class SkipSwitch:
    """The engine module, whose Engine gets skip_rest as given and is kept."""

    def __init__(self, skip):
        self.module, self.skip, self.engines = ENGINE_MODULE(), skip, []

    def __getattr__(self, name):
        return getattr(self.module, name)

    def Engine(self, *args):
        *given, options = args
        engine = self.module.Engine(*given, dict(options, skip_rest=self.skip))
        self.engines.append(engine)
        return engine


def run(monkeypatch, circuit, skip, **options):
    switch = SkipSwitch(skip)
    monkeypatch.setattr(native, "engine_module", lambda: switch)
    results = circuit.simulate(
        4.0, DT, engine="native", settle_steps=SETTLE_STEPS, record="all", **options
    )
    (engine,) = switch.engines
    return results, engine.rest_steps


CASES = {
    # zero through the period: a pulse and a PWL that start after t = 0
    "zero": (Pulse(0, 0.3, delay=0.5, rise=0.2, fall=0.2, width=1.0), 0.0),
    # zero until t = -6 (80 of the 200 steps), then rising: computed from there on
    "part": (PWL([(-6, 0), (-5, 0.3)]), 0.0),
    # a constant bias: the circuit moves from the first step, nothing is skipped
    "bias": (PWL([(0, 0), (1, 0.3)]), 0.1),
}


@pytest.mark.parametrize("adaptive", [False, True], ids=["fixed", "adaptive"])
@pytest.mark.parametrize("case", sorted(CASES))
def test_steps_at_rest_leave_the_run_as_computing_them_does(monkeypatch, case, adaptive):
    drive, bias = CASES[case]
    options = {"rtol": 1e-4, "dt_max": DT} if adaptive else {}
    fast, skipped = run(monkeypatch, network(drive, bias), True, **options)
    full, computed = run(monkeypatch, network(drive, bias), False, **options)
    assert computed == 0
    if case == "zero":
        assert skipped > 0.9 * SETTLE_STEPS
    elif case == "part":  # those before t = -6 but the first few
        assert 0.35 * SETTLE_STEPS < skipped < 0.4 * SETTLE_STEPS
    else:
        assert skipped == 0
    # at rest at t = 0 only when the sources stayed at zero; moving in the run
    assert (case == "zero") == (not full.node_phases[0].any())
    assert np.abs(full.node_voltages).max() > 0.01
    for table in TABLES:
        assert getattr(fast, table).tobytes() == getattr(full, table).tobytes(), table
    counters = {k: v for k, v in full.stats.items() if k not in TIMINGS}
    assert {k: v for k, v in fast.stats.items() if k not in TIMINGS} == counters
    assert counters["settle_steps"] == SETTLE_STEPS
