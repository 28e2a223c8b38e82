"""Event extraction against closed forms: linear phase ramps, whose crossings are
known exactly, and a junction under DC bias, whose Josephson period is
2 pi / sqrt(Ib**2 - Ic**2) in the overdamped limit."""

import math

import numpy as np
import pytest

from loxant import Circuit
from loxant.analysis import delay, events, mean_voltage, switching_times
from loxant.units import PHI0


class Ramps:
    """Results-like phases: element name -> phase = rate * (t - shift), on a grid."""

    def __init__(self, time, ramps):
        self.time = np.asarray(time, dtype=float)
        self.ramps = ramps

    def phase(self, name):
        rate, shift = self.ramps[name]
        return rate * (self.time - shift)


@pytest.mark.parametrize("rate", [0.3, 2.0, 13.0, -4.0])  # 13: several turns per sample
def test_crossings_of_a_phase_ramp_are_exact(rate):
    res = Ramps(np.linspace(0.0, 10.0, 41), {"A": (rate, 0.0)})
    turns = int(abs(rate) * 10.0 / (2 * math.pi) + 0.5)
    expected = [(2 * k - 1) * math.pi / abs(rate) for k in range(1, turns + 1)]
    expected = [t for t in expected if t <= 10.0]
    times = switching_times(res, "A")
    np.testing.assert_allclose(times, expected, rtol=1e-12)
    sign = 1 if rate > 0 else -1
    assert len(switching_times(res, "A", direction=sign)) == len(expected)
    assert len(switching_times(res, "A", direction=-sign)) == 0


def test_events_are_merged_in_time_order_and_delay_is_the_shift():
    res = Ramps(np.linspace(0.0, 20.0, 201), {"A": (1.0, 0.0), "B": (1.0, 2.5)})
    found = events(res, ["B", "A"])
    assert [name for _, name, _ in found[:4]] == ["A", "B", "A", "B"]
    assert all(a[0] <= b[0] for a, b in zip(found, found[1:]))
    assert delay(res, "A", "B") == pytest.approx(2.5, abs=1e-12)
    assert delay(res, "A", "B", index=1) == pytest.approx(2.5, abs=1e-12)
    assert math.isnan(delay(res, "A", "B", index=50))


def test_no_events_on_a_phase_that_stays_below_pi():
    res = Ramps(np.linspace(0.0, 1.0, 11), {"A": (3.0, 0.0)})
    assert len(switching_times(res, "A")) == 0
    assert mean_voltage(res, "A") == pytest.approx(3.0)


@pytest.fixture(scope="module")
def running_junction():
    c = Circuit(units="normalised")
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=0.005)
    c.current_source("I1", "0", "a", 1.5)
    return c.simulate(t_stop=150.0, dt=0.01)


@pytest.mark.parametrize("window", [(20.0, 150.0), (23.3, 61.7), (40.1, 44.0 + 2.2 * math.pi)])
def test_mean_voltage_over_whole_periods(running_junction, window):
    expected = math.sqrt(1.5**2 - 1.0)  # the overdamped junction's mean voltage
    assert mean_voltage(running_junction, "J1", *window) == pytest.approx(expected, rel=4e-3)


def test_switching_period_of_a_running_junction(running_junction):
    periods = np.diff(switching_times(running_junction, "J1")[3:])
    period = 2 * math.pi / math.sqrt(1.5**2 - 1.0)
    np.testing.assert_allclose(periods, period, rtol=4e-3)


def test_mean_voltage_in_volts_for_a_physical_circuit():
    pc = Circuit(ic0="100uA", r0="2ohm")
    pc.junction("J1", "a", "0", ic="100uA", r="2ohm", c="0.01pF")
    pc.current_source("I1", "0", "a", "150uA")
    res = pc.simulate(t_stop="200ps", dt="0.02ps")
    expected = 2.0 * math.sqrt(150e-6**2 - 100e-6**2)  # R sqrt(Ib^2 - Ic^2) in volts
    assert mean_voltage(res, "J1", 50e-12) == pytest.approx(expected, rel=1e-2)
    times = switching_times(res, "J1")
    period = PHI0 / expected  # Josephson: one flux quantum per period
    assert np.diff(times[5:]).mean() == pytest.approx(period, rel=1e-2)
