"""What the analyses refuse before any run (measures named like a column, more
runs than they hold), and measures that stay bounded on a junction turning
millions of times."""

import math

import numpy as np
import pytest
from analysis_circuits import JUNCTION_RUN, FakeNetlist, biased_junction

from loxant.analysis import (
    Delay,
    MeanVoltage,
    SwitchCount,
    scale,
    sweep,
    switching_times,
    yield_analysis,
)
from loxant.analysis import runner as runner_module
from loxant.cli import main

SWEEP = dict(client=None, progress=False, **JUNCTION_RUN)


@pytest.fixture
def runs(monkeypatch):
    """The runs started, however the analysis starts them."""
    started = []
    evaluate = runner_module.evaluate

    def counted(*args, **kwargs):
        started.append(args[1])
        return evaluate(*args, **kwargs)

    monkeypatch.setattr(runner_module, "evaluate", counted)
    return started


@pytest.mark.parametrize(
    "call, message",
    [
        # a measure named like the swept parameter, in any case
        (lambda: sweep(biased_junction(), {"I1": scale([1.0])}, measure={"i1": len}, **SWEEP),
         "the parameter 'I1'"),
        (lambda: sweep(FakeNetlist(), {"ib": [1.0]}, measure={"IB": len}, **SWEEP),
         "the parameter 'ib'"),
        # or like the outcome columns
        (lambda: sweep(biased_junction(), {"I1": scale([1.0])}, measure={"passed": len}, **SWEEP),
         "the 'passed' column"),
        (lambda: sweep(biased_junction(), {"I1": scale([1.0])}, measure={"Reason": len}, **SWEEP),
         "the 'reason' column"),
        (lambda: sweep(biased_junction(), {"I1": scale([1.0])}, measure={"message": len}, **SWEEP),
         "the 'message' column"),
        # more runs than an analysis holds
        (lambda: sweep(biased_junction(), {"I1": scale(np.ones(400)), "J1.ic": scale(np.ones(400))},
                       measure=len, **SWEEP),
         "160000 runs asked for, more than 100000"),
        (lambda: yield_analysis(biased_junction(), 100_000_000, local_spread={"ic": 0.1}, **SWEEP),
         "100000000 samples asked for, more than 100000"),
    ],
)  # fmt: skip
def test_refused_before_any_run(runs, call, message):
    with pytest.raises(ValueError, match=message):
        call()
    assert runs == []


@pytest.mark.parametrize(
    "measures, message",
    [
        (["I1=voltage(B1)"], "the parameter 'I1'"),
        (["passed=switches(B1)"], "the 'passed' column"),
        (["message=switches(B1)"], "the 'message' column"),
        (["n=switches(B1)", "N=voltage(B1)"], "'N' is named twice"),
    ],
)
def test_the_sweep_command_refuses_clashing_measure_names(tmp_path, capsys, measures, message):
    netlist = tmp_path / "j.cir"
    netlist.write_text(
        ".model jj0 jj(rtype=1, icrit=100u, rn=4, r0=40, cap=0.05p)\n"
        "B1 a 0 jj0\nI1 0 a pwl(0 0 10p 120u)\n.tran 0.1p 50p\n.end\n"
    )
    table = tmp_path / "t.csv"
    argv = ["sweep", str(netlist), "I1=x1,x1.2", "--measure", *measures, "--serial"]
    assert main([*argv, "-q", "-o", str(table)]) == 2
    assert message in capsys.readouterr().err
    assert not table.exists()


class Ramp:
    """Results of a junction whose phase rises linearly by ``turns`` 2 pi turns
    over a unit of time, sampled ``samples`` times: its switches (passages
    through odd multiples of pi) are at (2k - 1) / (2 turns)."""

    def __init__(self, turns, samples):
        self.turns = turns
        self.time = np.linspace(0.0, 1.0, samples)
        self._phase = 2 * math.pi * turns * self.time

    def phase(self, name):
        return self._phase


@pytest.mark.parametrize("turns, samples", [(7, 1000), (7, 3), (40, 2)])
def test_switches_are_where_the_phase_passes_odd_multiples_of_pi(turns, samples):
    # a sample interval may span several passages: each is dated on its own
    results = Ramp(turns, samples)
    expected = (2 * np.arange(1, turns + 1) - 1) / (2 * turns)
    np.testing.assert_allclose(switching_times(results, "J1"), expected, rtol=1e-12)
    assert SwitchCount("J1")(results) == turns


def test_a_junction_turning_millions_of_times_is_counted_not_listed():
    results = Ramp(3_000_000, 20_000)
    assert SwitchCount("J1")(results) == 3_000_000
    for measure in (Delay("J1", "J1"), MeanVoltage("J1")):
        with pytest.raises(
            ValueError, match="J1 switches 3,000,000 times, more than the 1,000,000"
        ):
            measure(results)
