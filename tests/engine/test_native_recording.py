"""Recording by probe: only what was asked for is kept, in the tables the
engine filled; asking for anything else says how to record it."""

import csv
import threading
import time

import numpy as np
import pytest

from loxant import PWL, Circuit, CircuitError, Sine, lxglobals, simulate


def line(n=6, bias=0.8):
    c = Circuit("line", units="normalised")
    c.phase_source("P", "in", "0", PWL([(0, 0), (10, 0), (12, 2 * np.pi)]))
    c.inductor("Lin", "in", "n1", 0.5)
    for k in range(1, n + 1):
        c.junction(f"J{k}", f"n{k}", "0", ic=1.0, r=1.0, c=1.0)
        c.current_source(f"I{k}", "0", f"n{k}", bias)
        if k < n:
            c.inductor(f"L{k}", f"n{k}", f"n{k + 1}", 0.5)
    return c


def test_asking_for_an_unrecorded_series_says_how_to_record_it():
    res = line().simulate(5.0, 0.1, record=["phase(J1)"])
    with pytest.raises(
        KeyError, match=r"current of element 'J1' was not recorded.*record=\['J1'\]"
    ):
        res.current("J1")
    with pytest.raises(KeyError, match=r"phase of node 'n2' was not recorded.*'phase\(n2\)'"):
        res.node_phase("n2")
    with pytest.raises(KeyError, match="no element named 'J9'"):
        res.phase("J9")
    with pytest.raises(KeyError, match="no node named 'x'"):
        res.node_voltage("x")
    np.testing.assert_array_equal(res.node_phase("0"), 0.0)


@pytest.mark.parametrize(
    "record, message",
    [
        (["J9"], "no node or element named 'J9'"),
        (["current(n1)"], "a node has no current"),
        (["phase(0)"], "names ground"),
        ([3.5], "a probe is a string"),
        (42, "no node or element named '42'"),
        (object(), "record must be None, 'all' or a list"),
    ],
)
def test_bad_probes_are_refused(record, message):
    with pytest.raises(CircuitError, match=message):
        line().simulate(1.0, 0.1, record=record)


def test_a_large_default_record_is_refused_before_anything_is_allocated():
    with pytest.raises(CircuitError, match=r"MiB.*record=\[.*record_every.*record='all'"):
        line(20).simulate(1e6, 1e-3)
    res = line(20).simulate(2.0, 0.1, record="all")
    assert len(res.recorded("current")) == 61


def test_csv_holds_the_recorded_series(tmp_path):
    res = line().simulate(5.0, 0.1, record=["J1", "voltage(n2)"])
    path = tmp_path / "probes.csv"
    res.to_csv(path)
    with open(path) as stream:
        header = next(csv.reader(stream))
    assert header == ["time", "V(n2)", "I(J1)", "P(J1)", "V(J1)"]
    table = np.loadtxt(path, delimiter=",", skiprows=1)
    np.testing.assert_array_equal(table[:, 3], res.phase("J1"))


def test_stats_count_steps_iterations_and_factorisations():
    res = line().simulate(30.0, 0.1)
    stats = res.stats
    for key in ("steps", "iterations", "factorisations", "refactorisations"):
        assert stats[key] >= 1, key
    assert stats["steps"] == 300
    assert stats["iterations"] <= 2.5 * stats["steps"]
    assert stats["factorisations"] + stats["refactorisations"] <= stats["iterations"]
    profiled = line().simulate(30.0, 0.1, profile=True).stats
    assert 0 < profiled["kernel_seconds"] and 0 < profiled["solver_seconds"]


def run_alone(c, record):
    return c.simulate(400.0, 0.05, record=record)


def test_runs_in_two_threads_give_the_results_they_give_alone():
    circuits = [line(30), line(30, bias=0.7)]
    alone = [run_alone(c, ["J1", "J15", "J30"]) for c in circuits]
    together = [None, None]

    def work(k):
        together[k] = run_alone(circuits[k], ["J1", "J15", "J30"])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for a, b in zip(alone, together):
        np.testing.assert_array_equal(a.time, b.time)
        np.testing.assert_array_equal(a.phase("J30"), b.phase("J30"))
        np.testing.assert_array_equal(a.turn_count("J15"), b.turn_count("J15"))
    assert alone[0].turn_count("J30")[-1] != alone[1].turn_count("J30")[-1] or not np.array_equal(
        alone[0].phase("J30"), alone[1].phase("J30")
    )


def test_progress_is_reported_at_most_ten_times_a_second():
    calls = []

    def slow(t):  # a Python waveform, so the run takes a while
        time.sleep(2e-5)
        return 0.8 + 0.1 * np.sin(t)

    c = line(4)
    c.current_source("Islow", "0", "n1", slow)
    res = c.simulate(300.0, 0.05, progress=lambda t: calls.append((time.perf_counter(), t)))
    assert len(calls) >= 2
    stamps = np.array([w for w, _ in calls])
    assert np.diff(stamps).min() >= 0.099
    times = [t for _, t in calls]
    assert times == sorted(times) and 0 < times[0] and times[-1] < res.time[-1]


def test_a_progress_callback_that_raises_stops_the_run():
    def stop(t):
        raise KeyboardInterrupt

    c = line(200)
    c.current_source("Is", "0", "n1", Sine(0.0, 0.01, 0.1))
    with pytest.raises(KeyboardInterrupt):
        c.simulate(2000.0, 0.01, progress=stop, record=["J1"])


def _gap_junction():
    c = Circuit("gap junction above its gap", units="normalised")
    c.junction_gap("J1", "a", "0", ic=1.0, c=1.0, r0=8.0, rn=1.0, vg=3.0, delv=0.2)
    c.current_source("I1", "0", "a", PWL([(0, 0), (20, 2.5)]))
    return c, "voltage(I1)"


def _noisy_resistor():
    c = Circuit("noisy RC", units="normalised")
    c.resistor("R1", "a", "0", 1.0, temp=0.05)
    c.capacitor("C1", "a", "0", 1.0)
    return c, "voltage(C1)"


def _line():
    c = Circuit("matched line", units="normalised")
    c.voltage_source("V1", "s", "0", PWL([(0, 0), (1, 1), (2, 0)]))
    c.resistor("Rs", "s", "a", 1.0)
    c.transmission_line("T1", "a", "0", "b", "0", td=3.0, z0=1.0)
    c.resistor("RL", "b", "0", 1.0)
    return c, "voltage(RL)"


@pytest.mark.parametrize("build", [_gap_junction, _noisy_resistor, _line])
def test_models_that_step_in_values_run_whatever_is_recorded(build):
    """A gap junction's held piece, a noise source's next value and a line's
    history advance in Values: recording one other series must not stop them."""
    circuit, probe = build()
    whole = simulate(circuit, t_stop=40.0, dt=0.05, seed=3)
    one = simulate(circuit, t_stop=40.0, dt=0.05, seed=3, record=[probe])
    name = probe[probe.index("(") + 1 : -1]
    np.testing.assert_array_equal(one.voltage(name), whole.voltage(name))
    assert np.ptp(whole.voltage(name)) > 0.1


def test_an_unrecorded_gap_junction_ends_a_run_on_the_piece_of_its_last_voltage():
    """The loop steps an unrecorded gap junction's held piece when it next
    evaluates it; a run must still leave the model as stepping it at every
    acceptance would: here the last step crosses into the normal branch."""
    circuit, _ = _gap_junction()
    crossing = simulate(circuit, t_stop=40.0, dt=0.05, record=["a"])
    k = int(np.argmax(crossing.node_voltage("a") > 3.1))  # vg + delv / 2
    assert crossing.node_voltage("a")[k - 1] < 3.1
    simulate(circuit, t_stop=float(crossing.time[k]), dt=0.05, record=["a"])
    (model,) = [e.model for e in lxglobals.ElementList if e.name == "J1"]
    assert model.piece == 2


def test_a_run_that_records_one_junction_leaves_every_node_at_its_last_level():
    """An acceptance publishes only the nodes that recorded models read; the
    node arrays must still hold the whole last level once the run returns."""
    circuit = line()
    whole = simulate(circuit, t_stop=30.0, dt=0.05)
    simulate(circuit, t_stop=30.0, dt=0.05, record=["phase(J3)"])
    nodes = circuit.nodes
    for shared, series in (
        (lxglobals.NodePhase, whole.node_phase),
        (lxglobals.NodeVoltage, whole.node_voltage),
    ):
        np.testing.assert_array_equal(shared[: len(nodes)], [series(n)[-1] for n in nodes])
    assert np.ptp(lxglobals.NodePhase[: len(nodes)]) > 0.5


def _junctions_of_every_report():
    """Junctions that switch, of the kinds whose phase is reported without their
    law, one with its first terminal grounded and one with a shifted phase."""
    c = Circuit("junctions", units="normalised")
    c.phase_source("P", "in", "0", PWL([(0, 0), (5, 0), (15, 6 * np.pi)]))
    c.inductor("L1", "in", "a", 0.3)
    c.junction("J1", "a", "0", ic=1.0, r=1.0, c=1.0)
    c.inductor("L2", "a", "b", 0.3)
    c.junction("J2", "0", "b", ic=1.0, r=1.0, c=1.0)
    c.inductor("L3", "b", "g", 0.3)
    c.junction_gap("J3", "g", "0", ic=1.0, c=1.0, r0=10.0, rn=1.0, vg=2.0, delv=0.2)
    c.inductor("L4", "g", "s", 0.3)
    c.junction_rsjph("J4", "s", "0", ic=1.0, r=1.0, c=1.0, theta=0.4)
    return c


def test_a_junction_recorded_without_its_current_reports_as_with_it():
    names = ["J1", "J2", "J3", "J4"]
    some = [f"{q}({n})" for n in names for q in ("phase", "voltage", "turns")]
    circuit = _junctions_of_every_report()
    without = simulate(circuit, t_stop=40.0, dt=0.05, record=some)
    both = simulate(circuit, t_stop=40.0, dt=0.05, record=some + [f"current({n})" for n in names])
    for name in names:
        np.testing.assert_array_equal(without.phase(name), both.phase(name))
        np.testing.assert_array_equal(without.voltage(name), both.voltage(name))
        np.testing.assert_array_equal(without.turn_count(name), both.turn_count(name))
    assert all(abs(int(both.turn_count(n)[-1])) >= 1 for n in names)
