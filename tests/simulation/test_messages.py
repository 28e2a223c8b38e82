"""Messages of the Python API that a user must be able to act on: each names
what was understood, in the user's own terms, and what to change."""

import math
import pickle
import re

import numpy as np
import pytest

from loxant import Circuit, SimulationError, lxconfig, simulate
from loxant.errors import CircuitError, ConvergenceError
from loxant.simulation.options import MAX_RECORDING_BYTES, _check_recording

KERNEL = ([1.0 + 0.5j, 0.3], [0.2, 0.1j], [-1.0 + 2.0j, -3.0])


def biased_junction(value=0.5):
    c = Circuit(units="normalised")
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=0.5)
    c.current_source("I1", "0", "a", value)
    return c


# ---- size of the run ---------------------------------------------------------------


@pytest.mark.parametrize(
    "t_stop, dt, match",
    [
        (2.0, 1e-300, r"projects 2e\+300 time steps.*raise dt or shorten t_stop"),
        (2.0, 1e-9, r"projects 2e\+09 time steps.*raise dt or shorten t_stop"),
        (1e5, 1e-3, r"the recording would take 7629 MiB .*raise record_every to at least 30"),
    ],
)
def test_runs_out_of_reach_are_refused_before_allocating(t_stop, dt, match):
    with pytest.raises(CircuitError, match=match):
        simulate(biased_junction(), t_stop=t_stop, dt=dt)


def test_suggested_record_every_fits_and_one_less_does_not():
    with pytest.raises(CircuitError) as info:
        _check_recording(80, 1e5, 1e-3, 1, 0.0)
    suggested = int(re.search(r"at least (\d+)", str(info.value)).group(1))
    _check_recording(80, 1e5, 1e-3, suggested, 0.0)
    with pytest.raises(CircuitError):
        _check_recording(80, 1e5, 1e-3, suggested - 1, 0.0)
    _check_recording(80, 1e5, 1e-3, 1, 1e5 - 1.0)  # recording only the end fits
    samples = 1e8 // suggested + 2
    assert samples * 80 <= MAX_RECORDING_BYTES  # 80 bytes: 1 node and 2 elements


# ---- physical units ------------------------------------------------------------------


def physical():
    pc = Circuit(ic0="250uA", r0="3ohm")
    pc.junction("J1", "a", "0", ic="250uA", r="3ohm", c="0.15pF")
    pc.inductor("L1", "a", "b", "3pH")
    pc.inductor("L2", "b", "0", "2pH")
    pc.current_source("I1", "0", "a", "100uA")
    return pc


@pytest.mark.parametrize(
    "times, match",
    [
        ({"t_stop": 100, "dt": 0.1}, r"t_stop = 100 was read as 100 s, 2\.28e\+14 time units"),
        ({"t_stop": "100ps", "dt": 0.1}, r"dt = 0\.1 was read as 0\.1 s.*dt='0\.1ps'"),
        ({"t_stop": "10ps", "dt": "0.1ps", "record_from": 5}, "record_from = 5 was read as 5 s"),
    ],
)
def test_bare_times_far_beyond_the_circuit_time_scale_are_refused(times, match):
    with pytest.raises(CircuitError, match=match):
        physical().simulate(**times)


@pytest.mark.parametrize(
    "declare, quoted",
    [
        (lambda pc: pc.capacitor("C9", "a", "0", "-3pF"), "got '-3pF'"),
        (lambda pc: pc.resistor("R9", "a", "0", -2), "got -2 ohm"),
        (lambda pc: pc.capacitor("C9", "a", "0", "-1fF"), "got '-1fF'"),
        (lambda pc: pc.simulate(t_stop="100ps", dt="1s"), "dt = '1s' exceeds t_stop = '100ps'"),
        (
            lambda pc: pc.simulate(t_stop="1ps", dt="0.1ps", dt_min="0.5ps"),
            "dt_min = '0.5ps' exceeds dt = '0.1ps'",
        ),
        (
            lambda pc: pc.mutual("K1", "L1", "L2", m="3pH"),
            "|M| = '3pH' exceeds sqrt(L1*L2) = 2.449 pH",
        ),
        (
            lambda pc: pc.junction_gap("B1", "a", "0", ic="250uA", c="1pF", r0="-3ohm"),
            "subgap resistance of B1 must be positive, got '-3ohm'",
        ),
        (
            lambda pc: pc.transmission_line("T1", "a", "0", "b", "0", td="-1ps", z0="5ohm"),
            "delay of T1 must be positive, got '-1ps'",
        ),
        (
            lambda pc: pc.simulate(t_stop="10ps", dt="0.1ps", record_from="20ps"),
            "record_from = '20ps' is after t_stop = '10ps'",
        ),
        (
            lambda pc: pc.simulate(t_stop=1e-9, dt=1e-22),
            "t_stop = 1e-09 s with dt = 1e-22 s projects",
        ),
    ],
)
def test_physical_errors_quote_what_the_user_wrote(declare, quoted):
    with pytest.raises(CircuitError) as info:
        declare(physical())
    assert quoted in str(info.value)
    assert not re.search(r"\d\.\d{6,}", str(info.value))  # no normalised numbers
    assert str(pickle.loads(pickle.dumps(info.value))) == str(info.value)  # crosses to workers


def test_beta_c_and_theta_are_read_like_every_other_value():
    pc = physical()
    as_text = pc.junction("J2", "b", "0", ic="250uA", beta_c="1", c="0.15pF")
    as_number = pc.junction("J3", "b", "0", ic="250uA", beta_c=1.0, c="0.15pF")
    assert (as_text.r, as_text.c) == (as_number.r, as_number.c)
    with pytest.raises(CircuitError, match="beta_c of J4 must be a number, got 'one'"):
        pc.junction("J4", "b", "0", ic="250uA", beta_c="one", c="0.15pF")
    shifted = pc.junction_rsjph("J5", "b", "0", ic="250uA", r="3ohm", c="0.15pF", theta="0.5rad")
    assert shifted.theta == 0.5
    with pytest.raises(CircuitError, match="phase shift of J6"):
        pc.junction_rsjph("J6", "b", "0", ic="250uA", r="3ohm", c="0.15pF", theta="0.5V")


# ---- circuit description ---------------------------------------------------------------


@pytest.mark.parametrize(
    "declare, match",
    [
        (
            lambda c: c.junction("J9", "GND", "0", c=1.0),
            r"J9 connects ground to ground \('GND' and '0'",
        ),
        (
            lambda c: c.mutual("K1", "L0", "L1", m=0.1),
            "K1: L0 has zero inductance, so no mutual inductance can couple to it",
        ),
        (
            lambda c: c.junction_rsjn("J9", "a", "0", c=1.0, v0=1e-300),
            r"knee voltage of J9 is too small for exponent 10",
        ),
        (
            lambda c: c.junction_tjm("T9", "a", "0", model="k", kernel=([math.nan], [0], [-1])),
            r"kernel of T9: A\[0\] = \(nan\+0j\) is not finite",
        ),
        (
            lambda c: c.junction_tjm(
                "T9", "a", "0", model="k", kernel=([1], [0], [complex(-1, math.inf)])
            ),
            r"kernel of T9: P\[0\] = .* is not finite",
        ),
    ],
)
def test_description_messages(declare, match):
    c = Circuit(units="normalised")
    c.inductor("L0", "a", "0", 0.0, branch=True)
    c.inductor("L1", "a", "b", 1.0)
    with pytest.raises(CircuitError, match=match):
        declare(c)


def test_zero_inductor_may_be_coupled_by_a_zero_factor():
    c = Circuit(units="normalised")
    c.inductor("L0", "a", "0", 0.0, branch=True)
    c.inductor("L1", "a", "b", 1.0)
    assert c.mutual("K1", "L0", "L1", k=0.5).m == 0.0


# ---- running ----------------------------------------------------------------------------


def test_failing_waveform_names_its_source():
    def broken(t):
        if t > 0.3:
            raise ZeroDivisionError("division by zero in the user's code")
        return 0.5

    c = biased_junction(broken)
    with pytest.raises(
        SimulationError, match=r"waveform of current source I1 failed at t = 0\.3"
    ) as info:
        simulate(c, t_stop=1.0, dt=0.1)
    assert isinstance(info.value.__cause__, ZeroDivisionError)
    assert info.value.time == pytest.approx(0.3)


def test_non_finite_current_names_the_element():
    c = Circuit(units="normalised")
    c.junction_rsjn("J1", "a", "0", ic=1.0, r=1.0, c=0.5, v0=1e-30, p=10)  # overflows above V ~ 2
    c.junction("J2", "b", "0", ic=1.0, r=1.0, c=0.5)
    c.resistor("R1", "a", "b", 1.0)
    c.current_source("I1", "0", "a", 30.0)
    with pytest.raises(ConvergenceError, match=r"the current or matrix terms of J1 are not finite"):
        simulate(c, t_stop=5.0, dt=0.05)


def test_kernel_in_the_shared_table_must_be_finite(monkeypatch):
    monkeypatch.setitem(lxconfig.tjm_models, "holds nan", ([1.0], [math.nan], [-1.0]))
    c = Circuit(units="normalised")
    c.junction_tjm("T1", "a", "0", model="holds nan")
    c.current_source("I1", "0", "a", 0.5)
    with pytest.raises(CircuitError, match=r"kernel of T1: B\[0\] = \(nan\+0j\) is not finite"):
        simulate(c, t_stop=1.0, dt=0.1)


def test_kernel_given_with_a_circuit_is_not_left_for_later_ones():
    shipped = dict(lxconfig.tjm_models)
    name = next(iter(shipped))
    for model in ("mine", name):  # a new name, and one that overrides a shipped kernel
        first = Circuit(units="normalised")
        first.junction_tjm("T1", "a", "0", model=model, kernel=KERNEL)
        first.current_source("I1", "0", "a", 0.5)
        simulate(first, t_stop=1.0, dt=0.1)
        assert lxconfig.tjm_models == shipped
    later = Circuit(units="normalised")
    later.junction_tjm("T1", "a", "0", model="mine")
    later.current_source("I1", "0", "a", 0.5)
    with pytest.raises(CircuitError, match="no TJM kernel named 'mine'"):
        simulate(later, t_stop=1.0, dt=0.1)


@pytest.mark.parametrize("window", [(math.nan, None), (None, math.nan), (0.0, math.inf)])
def test_average_voltage_refuses_non_finite_times(window):
    res = simulate(biased_junction(), t_stop=1.0, dt=0.1)
    with pytest.raises(ValueError, match="must be a finite time"):
        res.average_voltage("J1", *window)
    assert np.isfinite(res.average_voltage("J1", 0.0, 1.0))
