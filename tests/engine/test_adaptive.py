"""The adaptive time step: local error control against analytic solutions, its
order, switching times against the fixed step, and the two engines side by side."""

import math
import os

import numpy as np
import pytest
from bounded import deadline
from test_native_equivalence import jtl, rf_squid

PHI0 = 2.067833831170082e-15


def upward_crossings(t, y, level):
    k = np.nonzero((y[:-1] < level) & (y[1:] >= level))[0]
    return t[k] + (level - y[k]) / (y[k + 1] - y[k]) * (t[k + 1] - t[k])


from loxant import PWL, Circuit, CircuitError, read_netlist
from loxant.errors import RunLimitError
from loxant.simulation import native
from loxant.simulation.engines import ENGINES
from loxant.simulation.results import on_print_grid

R, L, C, I0 = 20.0, 1.0, 1.0, 0.5


def damped_lc():
    """A current step into L || C || R: a slowly damped oscillation."""
    c = Circuit("RLC", units="normalised")
    c.current_source("I1", "0", "a", I0)
    c.resistor("R1", "a", "0", R)
    c.inductor("L1", "a", "0", L)
    c.capacitor("C1", "a", "0", C)
    return c


def lc_phase(t):
    """C phi'' + phi' / R + phi / L = I0 from rest."""
    alpha = 1.0 / (2 * R * C)
    omega = math.sqrt(1.0 / (L * C) - alpha**2)
    decay = np.exp(-alpha * t)
    return L * I0 * (1.0 - decay * (np.cos(omega * t) + alpha / omega * np.sin(omega * t)))


def lc_error(tol, engine="native", t_stop=200.0):
    res = damped_lc().simulate(t_stop, rtol=tol, atol=tol, dt_max=2.0, engine=engine)
    error = np.abs(res.node_phase("a") - lc_phase(res.time)).max()
    return error, res


def test_linear_circuit_stays_near_its_solution_over_thirty_periods():
    error, res = lc_error(1e-6)
    # the local errors add up over 30 periods: the global error grows as the
    # tolerance to the power 2/3, 1 % of the amplitude I0 L here
    assert error < 0.01 * I0 * L
    assert res.stats["steps"] < 200.0 / 0.02  # far fewer than a fixed step as fine


def test_steps_fall_and_the_error_follows_at_second_order():
    tolerances = [1e-4, 1e-5, 1e-6, 1e-7]
    runs = [lc_error(tol) for tol in tolerances]
    steps = np.array([res.stats["steps"] for _, res in runs])
    errors = np.array([error for error, _ in runs])
    assert (np.diff(steps) > 0).all() and (np.diff(errors) < 0).all()
    order = -np.polyfit(np.log(steps), np.log(errors), 1)[0]
    assert 1.6 < order < 2.6


def first_crossing(t, phase, level=math.pi):
    k = int(np.argmax(phase > level))
    return t[k - 1] + (level - phase[k - 1]) * (t[k] - t[k - 1]) / (phase[k] - phase[k - 1])


def jtl_delay(**options):
    res = jtl(16).simulate("150ps", record=["phase(J4)", "phase(J12)"], **options)
    t = res.time("ps")
    return (first_crossing(t, res.phase("J12")) - first_crossing(t, res.phase("J4"))) / 8, res


def test_jtl_delay_converges_to_the_fixed_step_value():
    fixed, fixed_res = jtl_delay(dt="0.02ps")
    adaptive, res = jtl_delay(dt_max="1ps")  # default tolerances
    assert adaptive == pytest.approx(fixed, rel=5e-4)
    assert res.stats["steps"] < fixed_res.stats["steps"] / 2
    tight, _ = jtl_delay(dt_max="1ps", rtol=1e-6, atol=1e-6)
    assert abs(tight - fixed) < abs(adaptive - fixed) + 1e-5


def rf_squid_jumps(**options):
    res = rf_squid().simulate(300.0, **options)
    turns = np.diff(np.round(res.node_phase("a") / (2 * math.pi)))
    return res.time[1:][turns != 0]


def test_rf_squid_jumps_at_the_fixed_step_times():
    fixed = rf_squid_jumps(dt=0.01)
    adaptive = rf_squid_jumps(dt_max=2.0)
    assert len(fixed) >= 3 and len(adaptive) == len(fixed)
    np.testing.assert_allclose(adaptive, fixed, atol=0.5)


@pytest.mark.parametrize(
    ("make", "t_stop", "options"),
    [(rf_squid, 300.0, {"dt_max": 2.0}), (lambda: jtl(6).circuit, 100.0, {"rtol": 1e-4})],
)
def test_native_and_python_adaptive_runs_agree(make, t_stop, options):
    python = make().simulate(t_stop, engine="python", **options)
    native = make().simulate(t_stop, **options)
    assert python.stats["steps"] == native.stats["steps"]
    assert python.stats["rejected"] == native.stats["rejected"]
    np.testing.assert_allclose(native.time, python.time, rtol=1e-7)
    np.testing.assert_allclose(native.node_phases, python.node_phases, rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize(
    "options",
    [{"dt": 0.1, "dt_max": 1.0}, {"rtol": -1.0}, {"atol": 0.0}, {"dt_max": "x"}],
)
def test_bad_adaptive_options_are_refused(options):
    with pytest.raises((CircuitError, TypeError, ValueError)):
        damped_lc().simulate(10.0, **options)


NETLISTS = os.path.join(os.path.dirname(__file__), "..", "netlist", "data")


def adaptive_netlist(name, tmp_path):
    """The reference netlist with ``.option adaptive`` after its title line."""
    with open(os.path.join(NETLISTS, name)) as f:
        lines = f.read().splitlines()
    path = tmp_path / name
    path.write_text("\n".join([lines[0], ".option adaptive", *lines[1:]]) + "\n")
    return read_netlist(str(path))


def test_netlist_option_gives_the_converged_jtl_delay(tmp_path):
    net = adaptive_netlist("jtl100.cir", tmp_path)
    assert net.adaptive
    res = net.simulate()
    t = res.time("ps")
    t_pi = np.array([upward_crossings(t, v, math.pi)[0] for _, _, v in net.traces(res)])
    bulk = np.polyfit(np.arange(10, 91), t_pi[9:90], 1)[0]
    assert bulk == pytest.approx(1.62855, rel=5e-4)
    assert np.diff(t).max() <= net.tran.tstep * 1e12 * (1 + 1e-9)
    longer = net.simulate(dt_max="1ps", record=["phase(B1)"])
    assert longer.stats["steps"] < 290 / 0.05 / 2  # half the fixed run's steps at most


def test_stewart_mccumber_voltage_with_the_adaptive_step(tmp_path):
    net = adaptive_netlist("rcsj_dc_bias.cir", tmp_path)
    # phases grow by thousands of radians here: an error relative to them is loose
    res = net.simulate(rtol=0.0, atol=1e-5, dt_max="1ps")
    t, phase = res.time("s"), net.traces(res)[0][2]
    after = t > 200e-12
    t, phase = t[after], phase[after]
    first, last = math.ceil(phase[0] / (2 * math.pi)), math.floor(phase[-1] / (2 * math.pi))
    t_first = upward_crossings(t, phase, 2 * math.pi * first)[0]
    t_last = upward_crossings(t, phase, 2 * math.pi * last)[0]
    average = PHI0 * (last - first) / (t_last - t_first)
    assert average == pytest.approx(5.0 * math.sqrt(150e-6**2 - 100e-6**2), rel=1e-3)


@pytest.mark.parametrize("engine", sorted(ENGINES))
def test_print_grid_is_interpolated_with_the_integration_polynomial(engine):
    kept_error, kept = lc_error(1e-6, engine=engine, t_stop=60.0)
    res = damped_lc().simulate(
        60.0, rtol=1e-6, atol=1e-6, dt_max=2.0, print_step=0.25, engine=engine
    )
    np.testing.assert_allclose(res.time, np.arange(241) * 0.25, rtol=0, atol=1e-12)
    assert res.stats["steps"] == kept.stats["steps"]  # the grid forces no step
    error = np.abs(res.node_phase("a") - lc_phase(res.time)).max()
    # a quadratic through steps of ~0.1: its own error stays below the integration's
    assert error < 1.5 * kept_error
    with pytest.raises(CircuitError, match="print_step"):
        damped_lc().simulate(10.0, dt=0.1, print_step=0.5)


@pytest.mark.parametrize("block_bytes", [64, 1000, 2**24])
def test_a_print_grid_made_block_by_block_is_the_whole_runs(monkeypatch, block_bytes):
    # oracle: every accepted step kept, then put on the grid at once
    run = {"rtol": 1e-6, "atol": 1e-6, "dt_max": 2.0}
    whole = damped_lc().simulate(60.0, **run)
    monkeypatch.setattr(native, "PRINTED_BLOCK_BYTES", block_bytes)  # 8 rows, ~60, all
    printed = damped_lc().simulate(60.0, print_step=0.25, **run)
    for quantity in ("node_phases", "voltages", "currents"):
        table = getattr(whole, quantity)
        time, expected, _ = on_print_grid(whole.time, table, whole.turns, 0.25, 60.0)
        np.testing.assert_array_equal(printed.time, time)
        np.testing.assert_array_equal(getattr(printed, quantity), expected)
    assert printed.stats["steps"] == whole.stats["steps"]


def test_only_the_print_grid_counts_against_the_recording_limit(monkeypatch):
    from loxant.simulation import options

    # ~2000 accepted steps printed at 61 points, against a limit of 700 rows
    monkeypatch.setattr(options, "MAX_RECORDING_BYTES", 700 * 24)
    run = {"rtol": 1e-6, "atol": 1e-6, "dt_max": 0.1, "record": "a"}
    assert len(damped_lc().simulate(60.0, print_step=1.0, **run)) == 61
    with pytest.raises(RunLimitError, match="its recording reached the limit"):
        damped_lc().simulate(60.0, **run)  # every step kept
    with pytest.raises(CircuitError, match="print_step = 0.01 would print 6e"):
        damped_lc().simulate(60.0, print_step=0.01, **run)


# ---- thermal noise -----------------------------------------------------------------


def noisy_junction(path, temperature, bandwidth=0.0):
    """A biased junction beside R1, whose other end goes to ground through a 0 V
    source, a 0 rad phase source or a second resistor (a node without
    capacitance): each path carries the noise of R1 as a step in a current that
    an error estimate could chase."""
    c = Circuit(f"noisy junction, {path}", units="normalised")
    c.current_source("I1", "0", "a", PWL([(0, 0), (30, 0), (40, 1.2), (50, 0.5)]))
    c.junction("J1", "a", "0", r=1.0, c=1.0)
    c.resistor("R1", "a", "b", 1.0)
    if path == "voltage source":
        c.voltage_source("V1", "b", "0", 0.0)
    elif path == "phase source":
        c.phase_source("P1", "b", "0", 0.0)
    else:
        c.resistor("R2", "b", "0", 1.0)
    c.temperature = temperature
    c.noise_bandwidth = bandwidth
    return c


NOISE_PATHS = ["voltage source", "phase source", "resistor"]


@pytest.mark.parametrize("path", NOISE_PATHS)
@pytest.mark.parametrize("engine", sorted(ENGINES))
def test_noise_does_not_collapse_the_adaptive_step(path, engine):
    options = dict(rtol=1e-4, atol=1e-4, dt=0.01, dt_max=1.0, seed=3, engine=engine)
    options["progress"] = deadline(60)
    quiet = noisy_junction(path, 0.0).simulate(100.0, **options)
    noisy = noisy_junction(path, 0.01).simulate(100.0, **options)
    # three steps per noise value at most, a few more around each change
    assert noisy.stats["steps"] < 6 * quiet.stats["steps"]
    assert noisy.stats["rejected"] < noisy.stats["steps"] / 3
    # the noise moved the phase: it was not dropped
    assert (
        np.abs(noisy.phase("J1") - np.interp(noisy.time, quiet.time, quiet.phase("J1"))).max()
        > 1e-3
    )


@pytest.mark.parametrize("path", NOISE_PATHS)
def test_noisy_adaptive_runs_of_both_engines_take_the_same_steps(path):
    runs = [
        noisy_junction(path, 0.005, bandwidth=2.0).simulate(
            80.0, rtol=1e-4, atol=1e-4, dt_max=1.0, seed=11, engine=engine, progress=deadline(60)
        )
        for engine in ("native", "python")
    ]
    native, python = runs
    assert native.stats["steps"] == python.stats["steps"]
    # the levels agree to the Newton tolerance, and the step sizes follow them
    np.testing.assert_allclose(native.time, python.time, rtol=1e-6)
    np.testing.assert_allclose(native.node_phases, python.node_phases, rtol=1e-5, atol=1e-6)
    # each noise value is held over 1 / (2 B): the steps land on its boundaries
    boundaries = np.arange(1, 320) * 0.25
    assert np.abs(native.time[:, None] - boundaries).min(axis=0).max() < 1e-9


def test_noise_of_an_rc_node_has_the_equipartition_variance():
    """kT / C on a capacitor across a resistor (normalised: <V^2> = T / C) when the
    noise bandwidth is far above 1 / RC: the adaptive run holds each value over
    its noise step and still gives the physical variance."""
    temperature, capacitance = 0.02, 4.0
    c = Circuit("RC noise", units="normalised")
    c.resistor("R1", "a", "0", 1.0)
    c.capacitor("C1", "a", "0", capacitance)
    c.temperature = temperature
    c.noise_bandwidth = 2.5  # hold 0.2, RC = 4
    res = c.simulate(8000.0, dt_max=1.0, seed=5, record=["voltage(a)"], progress=deadline(120))
    v = res.node_voltage("a")[res.time > 40.0]
    t = res.time[res.time > 40.0]
    mean_square = np.trapezoid(v**2, t) / (t[-1] - t[0])
    # a hold of 0.2 against RC = 4 lowers the variance by about 2.5 %; 8000 / RC
    # independent stretches leave a statistical spread of about 3 %
    assert mean_square == pytest.approx(temperature / capacitance, rel=0.12)
